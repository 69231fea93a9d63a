#include "lookup/pattern_prefilter.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr int MAX_GROUP_DEPTH = 16;
constexpr unsigned MAX_REPEAT = 255;
// The atoms of the expression once every repetition is written out: far
// above any real host-name pattern, far below a size whose compilation could
// run out of memory under the plug-in's address-space ceiling.
constexpr size_t MAX_EXPANDED = 4096;

// Character classes of the scan, one table lookup each.
enum char_class : unsigned char {
  OTHER = 0,           // left to regcomp: controls, bytes above 0x7e, '}'
  ORDINARY = 1,        // stands for itself
  OPERATOR = 2,        // . [ \ ( ) * + ? { | ^ $
  CLASS_MASK = 3,      // the bits above
  ESCAPED_LITERAL = 4, // stands for itself after a backslash
  DIGIT = 8,
  LOWER = 16,
  UPPER = 32,
  REPETITION = 64, // * + ? {
};

constexpr bool in(const char *set, int c) {
  for (; *set; ++set)
    if (*set == c)
      return true;
  return false;
}

struct class_table {
  unsigned char of[256];
  constexpr class_table() : of() {
    for (int c = 0x20; c <= 0x7e; ++c) {
      unsigned char bits = in(".[\\()*+?{|^$", c) ? OPERATOR
                           : c == '}'             ? OTHER
                                                  : ORDINARY;
      // '<', '>', '`', '\'', b, B, w, W, s, S are operators after a
      // backslash and digits back-references; other letters and
      // punctuation stand for themselves.
      const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if ((letter && !in("bBwWsS", c)) ||
          in("!\"#$%&()*+,-./:;=?@[\\]^_{|}~", c))
        bits |= ESCAPED_LITERAL;
      if (c >= '0' && c <= '9')
        bits |= DIGIT;
      if (c >= 'a' && c <= 'z')
        bits |= LOWER;
      if (c >= 'A' && c <= 'Z')
        bits |= UPPER;
      if (in("*+?{", c))
        bits |= REPETITION;
      of[c] = bits;
    }
  }
};
constexpr class_table CLASSES;

unsigned char class_of(char c) {
  return CLASSES.of[static_cast<unsigned char>(c)];
}

bool is_ordinary(char c) { return (class_of(c) & CLASS_MASK) == ORDINARY; }

bool is_digit(char c) { return class_of(c) & DIGIT; }

bool is_printable(char c) { return c >= 0x20 && c <= 0x7e; }

bool is_repetition_char(char c) { return class_of(c) & REPETITION; }

// The ends of a range of one kind (digits, lower case, upper case), in
// order.
bool is_simple_range(char first, char last) {
  const unsigned char kinds = DIGIT | LOWER | UPPER;
  const unsigned char kind = class_of(first) & kinds;
  return kind != 0 && kind == (class_of(last) & kinds) && first <= last;
}

constexpr std::string_view CLASS_NAMES[] = {
    "alpha", "upper", "lower", "digit", "xdigit", "space",
    "print", "punct", "graph", "cntrl", "blank",  "alnum",
};

bool is_class_name(std::string_view name) {
  for (std::string_view known : CLASS_NAMES)
    if (name == known)
      return true;
  return false;
}

struct repeat {
  unsigned min = 1;
  unsigned max = 1;
  bool bounded = true;

  size_t copies() const { return bounded ? max : min + 1; } // at least 1
};

// The top level, or one open group. Its size written out is bounded by
// its characters plus `extra`, what its repetitions add.
struct level {
  const char *start;       // a group's first character
  const char *alternative; // the first character of the alternative read
  size_t extra;
  bool plain; // each alternative a plain run of literals
};

// Whether the text at p begins with `text`; reads no further than the
// first difference, so never past the terminator.
template <size_t N> bool begins_with(const char *p, const char (&text)[N]) {
  for (size_t i = 0; i + 1 < N; ++i)
    if (p[i] != text[i])
      return false;
  return true;
}

// An ordinary character, or a backslash and a character that stands for
// itself after one.
bool starts_literal(const char *p) {
  return is_ordinary(*p) || (*p == '\\' && (class_of(p[1]) & ESCAPED_LITERAL));
}

class pattern_scan {
public:
  pattern_scan(const char *pattern, pattern_literals *out)
      : p_(pattern), out_(out) {
    out_->count = 0;
  }

  // One pass: the syntax is checked and each top-level literal recorded as
  // soon as it is complete. False when the pattern is not understood.
  bool read() {
    const char *const pattern = p_;
    level levels[MAX_GROUP_DEPTH + 1]; // those above `depth` unused
    int depth = 0;
    levels[0] = level{pattern, pattern, 0, true};
    for (;;) {
      level &here = levels[depth];
      const bool digit_before = last_digit_;
      last_digit_ = false;
      const char *atom_start = p_;
      bool literal = true;
      size_t inner_extra = 0;
      bool plain_group = false;
      if (starts_literal(p_)) {
        // A stretch of literals: all but the last stand once each, and the
        // last too unless a repetition follows.
        const char *last = p_;
        for (;;) {
          if (is_ordinary(*p_)) {
            do
              ++p_;
            while (is_ordinary(*p_));
            last = p_ - 1;
          }
          if (*p_ != '\\' || !(class_of(p_[1]) & ESCAPED_LITERAL))
            break;
          last = p_;
          p_ += 2;
        }
        if (!is_repetition_char(*p_)) {
          if (depth == 0)
            extend_run(atom_start, p_);
          continue;
        }
        if (depth == 0 && last != atom_start)
          extend_run(atom_start, last);
        atom_start = last;
      } else {
        switch (*p_) {
        case '\\': // not an escaped literal
          if (p_[1] != 'w' && p_[1] != 'W' && p_[1] != 's' && p_[1] != 'S')
            return false;
          p_ += 2;
          literal = false;
          break;
        case '.':
          ++p_;
          literal = false;
          break;
        case '[': {
          // The two commonest pieces of host-name patterns (a number below
          // 300 is "[12]?[0-9]{1,2}"), read whole; the same as below.
          size_t piece_extra = 0;
          if (begins_with(p_, "[12]?")) {
            p_ += 5;
          } else if (begins_with(p_, "[0-9]{1,2}")) {
            p_ += 10;
            piece_extra = 5; // "[0-9]" once more
            last_digit_ = depth == 0;
          } else {
            if (!bracket())
              return false;
            literal = false;
            break;
          }
          if (is_repetition_char(*p_))
            return false;
          here.extra += piece_extra;
          if (depth > 0)
            here.plain = false;
          else
            end_run(false);
          continue;
        }
        case '^':
        case '$': {
          // A repetition after it is not read as one: see default below.
          const bool caret = *p_++ == '^';
          // A digit right before the end: the subject ends with one.
          if (!caret && depth == 0 && digit_before)
            (void)add_literal(p_, p_, LITERAL_LAST_DIGIT);
          if (depth > 0) {
            here.plain = false;
          } else {
            end_run(!caret);
            run_after_caret_ = caret;
          }
          continue;
        }
        case '(':
          if (depth == MAX_GROUP_DEPTH)
            return false;
          ++p_;
          levels[++depth] = level{p_, p_, 0, true};
          continue;
        case '|':
          if (p_ == here.alternative)
            return false; // an empty alternative
          here.alternative = ++p_;
          if (depth == 0) {
            top_alternation_ = true;
            end_run(false);
          }
          continue;
        case ')':
          if (depth == 0 || p_ == here.alternative)
            return false;
          inner_extra = here.extra;
          plain_group = here.plain;
          group_start_ = here.start;
          group_end_ = p_;
          --depth;
          ++p_;
          literal = false;
          break;
        case '\0':
          if (depth != 0 || p_ == here.alternative ||
              static_cast<size_t>(p_ - pattern) + here.extra > MAX_EXPANDED)
            return false;
          end_run(false);
          if (top_alternation_)
            out_->count = 0;
          return true;
        default: // a repetition of nothing, '}', a control character
          return false;
        }
      }

      // The atom [atom_start, p_) is read; then its repetition, if any.
      level &owner = levels[depth];
      const char *const atom_end = p_;
      const bool digit_atom = depth == 0 && atom_end - atom_start == 5 &&
                              begins_with(atom_start, "[0-9]");
      if (!is_repetition_char(*p_)) {
        last_digit_ = digit_atom;
        owner.extra += inner_extra;
        if (depth > 0) {
          owner.plain = owner.plain && literal;
        } else if (literal) {
          extend_run(atom_start, atom_end);
        } else {
          end_run(false);
          if (plain_group)
            record_alternatives();
        }
        continue;
      }
      repeat times;
      if (!repetition(&times) || is_repetition_char(*p_))
        return false;
      // Written out, the atom stands `copies` times.
      const size_t weight =
          static_cast<size_t>(atom_end - atom_start) + inner_extra;
      owner.extra += inner_extra + weight * (times.copies() - 1);
      if (owner.extra > MAX_EXPANDED)
        return false;
      if (depth > 0) {
        owner.plain = false;
        continue;
      }
      last_digit_ = digit_atom && times.min >= 1;
      if (literal && times.min >= 1)
        extend_run(atom_start, atom_end);
      end_run(false);
      if (plain_group && times.min >= 1)
        record_alternatives();
    }
  }

private:
  const char *p_;
  pattern_literals *out_;
  bool top_alternation_ = false;
  // The last top-level atom read stands for at least one digit.
  bool last_digit_ = false;
  // The top-level run of literals being read.
  const char *run_start_ = nullptr;
  const char *run_end_ = nullptr;
  bool run_after_caret_ = false;
  // The last group closed, without its parentheses.
  const char *group_start_ = nullptr;
  const char *group_end_ = nullptr;

  void extend_run(const char *from, const char *to) {
    if (!run_start_)
      run_start_ = from;
    run_end_ = to;
  }

  // Records the literal characters of [from, to) (ordinary characters and
  // escaped literals) as one more literal; false when there is no room.
  bool add_literal(const char *from, const char *to, unsigned char where) {
    if (out_->count == PATTERN_LITERALS)
      return false;
    out_->literal[out_->count++] = {from, to, 0, where};
    return true;
  }

  // The top level's run ends: every match holds it, at the subject's start
  // right after '^', at its end right before '$'.
  void end_run(bool before_dollar) {
    if (run_start_)
      (void)add_literal(run_start_, run_end_,
                        (run_after_caret_ ? LITERAL_AT_START : 0) |
                            (before_dollar ? LITERAL_AT_END : 0));
    run_start_ = nullptr;
    run_after_caret_ = false;
  }

  // The last group closed holds plain alternatives of which every match
  // holds one: all of them, or nothing when they do not all fit.
  void record_alternatives() {
    const int header = out_->count;
    if (header == PATTERN_LITERALS)
      return;
    ++out_->count;
    for (const char *from = group_start_; from <= group_end_;) {
      const char *to = from;
      while (to < group_end_ && *to != '|')
        to += *to == '\\' ? 2 : 1;
      if (!add_literal(from, to, LITERAL_ANYWHERE)) {
        out_->count = header;
        return;
      }
      from = to + 1;
    }
    out_->literal[header] = {group_start_, group_end_, out_->count - header - 1,
                             LITERAL_ONE_OF};
  }

  // At most three digits, no leading zero, at most MAX_REPEAT.
  [[nodiscard]] bool count(unsigned *value) {
    if (!is_digit(*p_) || (*p_ == '0' && is_digit(p_[1])))
      return false;
    unsigned n = 0;
    for (int digits = 0; is_digit(*p_); ++digits, ++p_) {
      if (digits == 3)
        return false;
      n = n * 10 + unsigned(*p_ - '0');
    }
    *value = n;
    return n <= MAX_REPEAT;
  }

  [[nodiscard]] bool repetition(repeat *times) {
    switch (*p_++) {
    case '*':
      *times = {0, 0, false};
      return true;
    case '+':
      *times = {1, 0, false};
      return true;
    case '?':
      *times = {0, 1, true};
      return true;
    default: // '{'
      break;
    }
    if (!count(&times->min))
      return false;
    times->max = times->min;
    times->bounded = true;
    if (*p_ == ',') {
      ++p_;
      if (*p_ == '}')
        times->bounded = false;
      else if (!count(&times->max))
        return false;
    }
    if (*p_ != '}')
      return false;
    ++p_;
    return !times->bounded || (times->max >= times->min && times->max >= 1);
  }

  // Single characters, same-kind ranges and named classes; '-' first or
  // last only.
  [[nodiscard]] bool bracket() {
    ++p_; // '['
    if (*p_ == '^')
      ++p_;
    for (bool first = true;; first = false) {
      const char c = *p_;
      if (c == ']' && !first) {
        ++p_;
        return true;
      }
      if (!is_printable(c))
        return false;
      if (c == '[') {
        if (p_[1] != ':')
          return false;
        const char *const name = p_ + 2;
        const char *end = name;
        while (*end >= 'a' && *end <= 'z')
          ++end;
        if (end[0] != ':' || end[1] != ']' ||
            !is_class_name(std::string_view(name, size_t(end - name))))
          return false;
        p_ = end + 2;
        if (*p_ == '-' && p_[1] != ']')
          return false;
        continue;
      }
      if (c == '-') {
        if (!first && p_[1] != ']')
          return false;
        ++p_;
        continue;
      }
      if (p_[1] == '-' && p_[2] != ']') {
        if (!is_simple_range(c, p_[2]))
          return false;
        p_ += 3;
        if (*p_ == '-' && p_[1] != ']')
          return false;
        continue;
      }
      ++p_;
    }
  }
};

} // namespace

namespace {

// The literal's characters, folded, at `at`, before `end`.
bool holds_at(const char *at, const char *end, const pattern_literal &literal) {
  for (const char *p = literal.from; p < literal.to; ++p, ++at) {
    if (*p == '\\')
      ++p;
    if (at == end || pattern_fold(*p) != *at)
      return false;
  }
  return true;
}

bool found(const pattern_literal &literal, std::string_view folded) {
  if (literal.where & LITERAL_LAST_DIGIT)
    return !folded.empty() && is_digit(folded.back());
  const char *const start = folded.data();
  const char *const end = start + folded.size();
  if (literal.where & LITERAL_AT_END) {
    size_t n = 0;
    for (const char *p = literal.from; p < literal.to; p += *p == '\\' ? 2 : 1)
      ++n;
    if (n > folded.size() || !holds_at(end - n, end, literal))
      return false;
  }
  if (literal.where & LITERAL_AT_START)
    return holds_at(start, end, literal);
  if (literal.where & LITERAL_AT_END)
    return true;
  if (literal.from == literal.to)
    return true;
  const char first =
      pattern_fold(literal.from[0] == '\\' ? literal.from[1] : literal.from[0]);
  for (const char *at = start; at < end; ++at) {
    at = static_cast<const char *>(std::memchr(at, first, size_t(end - at)));
    if (!at)
      return false;
    if (holds_at(at, end, literal))
      return true;
  }
  return false;
}

} // namespace

std::string fold_subject(std::string_view subject) {
  std::string folded(subject);
  for (char &c : folded)
    c = pattern_fold(c);
  return folded;
}

bool read_pattern_literals(const char *pattern, pattern_literals *out) {
  if (!pattern || !out)
    return false;
  pattern_scan scan(pattern, out);
  if (scan.read())
    return true;
  out->count = 0;
  return false;
}

bool lacks_pattern_literal(const pattern_literals &literals,
                           std::string_view folded) {
  for (int i = 0; i < literals.count; ++i) {
    const pattern_literal &literal = literals.literal[i];
    if (literal.where == LITERAL_ONE_OF) {
      bool one_found = false;
      const int last = i + literal.alternatives;
      while (i < last)
        if (found(literals.literal[++i], folded))
          one_found = true;
      if (!one_found)
        return true;
    } else if (!found(literal, folded)) {
      return true;
    }
  }
  return false;
}

bool pattern_cannot_match(const char *pattern, std::string_view folded) {
  pattern_literals literals;
  return read_pattern_literals(pattern, &literals) &&
         lacks_pattern_literal(literals, folded);
}
