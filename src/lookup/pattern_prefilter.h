// pattern_prefilter: tells, without compiling it, that a host-name pattern
// cannot match a subject, so that a long pattern file costs a scan of its
// text instead of one regcomp a line.
//
// The patterns are POSIX extended expressions compiled with REG_EXTENDED |
// REG_ICASE | REG_NOSUB and searched for anywhere in the subject. The
// prefilter reads a pattern once and answers "cannot match" only when both
// hold:
//   - the pattern lies wholly in a subset of the syntax that regcomp is
//     known to accept: printable ASCII literals, escaped punctuation and
//     letters (not \b \B \w \W \s \S, which are operators, and no escaped
//     digits, which are back-references), '.', \w \W \s \S, bracket
//     expressions of single characters, same-kind ranges (0-9, a-z, A-Z)
//     and named classes, groups of non-empty alternatives, '^' and '$'
//     without repetition, and one repetition ('*', '+', '?', {m}, {m,},
//     {m,n} with 0 <= m <= n <= 255, n >= 1) after a character, bracket or
//     group, within a bound on the size of the expanded expression; anything
//     else (an unbalanced parenthesis, an empty alternative, a repeated
//     repetition, a byte outside printable ASCII ...) is left to regcomp;
//   - a literal that every match must contain, compared without regard to
//     ASCII case, is missing from the subject. The literals looked at are
//     those of the top level when it has no '|': each run of characters
//     not under '?', '*' or a repetition that allows zero (which must be
//     found at the start of the subject when '^' comes right before it and
//     at the end when '$' comes right after it), each group of
//     alternatives that are all plain runs (one of which must be found),
//     and a last digit: '$' right after "[0-9]" (repeated at least once).
// Every other pattern is to be compiled and matched as before, so the
// results, the compile warnings and their line numbers stay the same.
//
//   read_pattern_literals(pattern, &literals)
//                                  true when the pattern is of the subset
//                                  above, its required literals (none, when
//                                  it has no usable one) in `literals`;
//                                  false, no literals, when it is not
//                                  understood (or null).
//   lacks_pattern_literal(literals, folded)
//                                  true when the folded subject lacks one of
//                                  the literals (or every alternative of a
//                                  group).
//   fold_subject(subject)          the subject with A-Z turned to a-z, the
//                                  form the literals are compared with
//                                  (pattern_fold, a character at a time).
//   pattern_cannot_match(pattern, folded)
//                                  both of the above: true only when the
//                                  pattern would compile and cannot match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int PATTERN_LITERALS = 32;

enum pattern_literal_where : uint8_t {
  LITERAL_ANYWHERE = 0,
  LITERAL_AT_START = 1,   // the subject starts with it
  LITERAL_AT_END = 2,     // the subject ends with it
  LITERAL_ONE_OF = 4,     // the next `alternatives` literals are a group's
  LITERAL_LAST_DIGIT = 8, // no text: the subject ends with a digit
};

// A literal as it stands in the pattern, escapes included (for
// LITERAL_ONE_OF, the group and its number of alternatives).
struct pattern_literal {
  const char *from;
  const char *to;
  int alternatives;
  uint8_t where;
};

// What every match of one pattern holds; literals that would not fit are
// left out (a group's alternatives all or none). They point into the
// pattern, which must outlive them.
struct pattern_literals {
  int count;
  pattern_literal literal[PATTERN_LITERALS];
};

bool read_pattern_literals(const char *pattern, pattern_literals *out);
bool lacks_pattern_literal(const pattern_literals &literals,
                           std::string_view folded);
inline char pattern_fold(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
std::string fold_subject(std::string_view subject);
bool pattern_cannot_match(const char *pattern, std::string_view folded);
