// The pattern prefilter against regcomp and regexec: a pattern it passes over
// must compile and must not match. Over the public reverse-DNS patterns
// (CORVANE_FQRDNS_TABLE), the sample pattern files and lines that probe the
// edges of the syntax it takes, against host names made from the patterns
// themselves, near misses and random names.
#include "lookup/pattern_index.h"
#include "lookup/pattern_prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <regex.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int FLAGS = REG_EXTENDED | REG_ICASE | REG_NOSUB;

// Lines at the edges of what the prefilter takes or leaves to regcomp.
const char *const EDGE_PATTERNS[] = {
    "a{1,2}{3}x",   "x\\|y",       "[a-]x",      "[]a]x",         "a{0}x",
    "(a|)x",        "\\w+x",       "x\\bq",      "[[:alpha:]-z]", "^*ax",
    "a**x",         "[z-a]x",      "\\Dx",       "\\dx$",         "(x){300}",
    "((((x))))y",   "x{2,1}",      "x{,3}",      "x{1,}y$",       "^x\\}y",
    "x]y",          "a\\",         "(^|[.-])ab", "^(ab|cd)+$",    "(ab|cd)?x$",
    "[^.]ab$",      "\\<ab",       "x|y",        "xy)",           "[[.a.]]b",
    "[:alpha:]x",   "\\.A\\.b$",   "^AB",        "ab\\(",         "\\{1\\}",
    "x[0-9]+$",     "x[0-9]*$",    "^ab|(e|f)g", "(a|b)c|[|]d",   "a]b",
    "(a[12]?b|c)d", "x[0-9a-z]+$",
};

// The lines an index passes over for a subject, walked as a run walks them.
std::vector<bool> passed_over_by(pattern_index &index,
                                 const std::string &folded, uint64_t mask) {
  std::vector<bool> skips(index.lines(), true);
  pattern_line_place place;
  for (size_t i = index.next(0, mask); i < index.lines();
       i = index.next(i + 1, mask)) {
    const pattern_look look = index.look(i, folded, &place);
    EXPECT_NE(look, pattern_look::damaged) << "line " << i;
    skips[i] = look == pattern_look::passed_over;
  }
  return skips;
}

std::vector<std::string> table_patterns(const std::string &path) {
  std::vector<std::string> patterns;
  std::ifstream in(path);
  regex_t row;
  regmatch_t part[2];
  if (regcomp(&row, "^/(.*)/[[:space:]]+[A-Z]", REG_EXTENDED) != 0)
    return patterns;
  for (std::string line; std::getline(in, line);)
    if (regexec(&row, line.c_str(), 2, part, 0) == 0)
      patterns.push_back(line.substr(size_t(part[1].rm_so),
                                     size_t(part[1].rm_eo - part[1].rm_so)));
  regfree(&row);
  return patterns;
}

void add_pattern_file(const std::string &path,
                      std::vector<std::string> *patterns) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#')
      patterns->push_back(line);
}

// A text the pattern (roughly) describes: a literal as itself, a bracket
// expression as one of its first characters, a group as one of its
// alternatives, a repetition a few times. Stops at the end of a group.
std::string instance(const char *&p, std::mt19937 &random) {
  std::string out, atom;
  while (*p && *p != ')' && *p != '|') {
    const char c = *p++;
    if (c == '^' || c == '$')
      continue;
    if (c == '\\' && *p) {
      atom = std::string(1, *p++);
    } else if (c == '[') {
      const char *set = p + (*p == '^');
      atom = std::string(1, *set == '^' || *set == ']' ? 'q' : *set);
      while (*p && *p != ']')
        ++p;
      p += *p != 0;
    } else if (c == '(') {
      std::vector<std::string> choices{instance(p, random)};
      while (*p == '|')
        choices.push_back(instance(++p, random));
      p += *p != 0;
      atom = choices[random() % choices.size()];
    } else {
      atom = std::string(1, c == '.' ? char('a' + random() % 26) : c);
    }
    unsigned times = 1;
    if (*p == '?' || *p == '*')
      times = random() % 2, ++p;
    else if (*p == '+')
      times = 1 + random() % 2, ++p;
    else if (*p == '{')
      times = unsigned(std::atoi(p + 1)),
      p = std::strchr(p, '}') ? std::strchr(p, '}') + 1 : p + 1;
    for (unsigned i = 0; i < times; ++i)
      out += atom;
  }
  return out;
}

// Compares the prefilter with regcomp and regexec for every pattern against
// every name (made from the patterns, then random ones up to 20,000).
void compare_with_regcomp(std::vector<std::string> patterns) {
  add_pattern_file(CORVANE_SAMPLES_DIR "/etc/corvane/dynaregex/spam.regexes",
                   &patterns);
  add_pattern_file(CORVANE_SAMPLES_DIR "/etc/corvane/dynaregex/dyna.regexes",
                   &patterns);
  patterns.insert(patterns.end(), std::begin(EDGE_PATTERNS),
                  std::end(EDGE_PATTERNS));

  std::mt19937 random(20261206);
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789-.";
  std::vector<std::string> names;
  for (const std::string &pattern : patterns) {
    for (int i = 0; i < 8; ++i) {
      const char *p = pattern.c_str();
      std::string name = instance(p, random);
      if (i % 4 == 1 && !name.empty()) // a near miss
        name[random() % name.size()] = letters[random() % letters.size()];
      if (i % 4 == 2)
        for (char &c : name)
          c = random() % 2 ? char(std::toupper(c)) : c;
      if (i % 4 == 3)
        name = "mail." + name + ".example";
      names.push_back(name);
    }
  }
  while (names.size() < 20000) {
    std::string name;
    for (unsigned n = 3 + random() % 30; n > 0; --n)
      name += letters[random() % letters.size()];
    names.push_back(name);
  }

  // The index of the patterns as a run builds it, and as a run reads it
  // back from its file.
  pattern_index built;
  for (const std::string &pattern : patterns)
    built.add(uint32_t(built.lines() + 1), 0, pattern.c_str(), pattern.size());
  struct stat source {};
  source.st_size = 1 << 20;
  char folder[] = "/tmp/pattern_index_XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  const std::string saved = folder + std::string("/p.index");
  ASSERT_TRUE(built.save(saved, source));
  // One changed byte among the lines, or another file, and it is not used.
  {
    pattern_index other;
    struct stat edited = source;
    edited.st_mtim.tv_nsec = 1;
    const int fd = open(saved.c_str(), O_RDWR);
    char byte = 0;
    EXPECT_FALSE(other.load(saved, edited, 0));
    EXPECT_TRUE(pread(fd, &byte, 1, 100) == 1 &&
                pwrite(fd, "\x7f", 1, 100) == 1);
    EXPECT_FALSE(other.load(saved, source, 0));
    EXPECT_TRUE(pwrite(fd, &byte, 1, 100) == 1 && other.load(saved, source, 0));
    close(fd);
  }

  // For each name, the lines each index passes over; the two agree.
  std::vector<std::string> folded;
  std::vector<std::vector<bool>> skips;
  size_t index_passed_over = 0, disagreements = 0;
  for (const std::string &name : names) {
    folded.push_back(fold_subject(name));
    const uint64_t mask = pattern_subject_mask(folded.back());
    pattern_index index;
    ASSERT_TRUE(index.load(saved, source, mask));
    const std::vector<bool> from_file =
        passed_over_by(index, folded.back(), mask);
    skips.push_back(passed_over_by(built, folded.back(), mask));
    if (from_file != skips.back()) {
      ++disagreements;
      ADD_FAILURE() << "the saved index differs from the built one for ["
                    << name << "]";
    }
    index_passed_over +=
        size_t(std::count(from_file.begin(), from_file.end(), true));
  }
  std::remove(saved.c_str());
  rmdir(folder);

  size_t compared = 0, passed_over = 0, matched = 0, with_literal = 0;
  for (size_t line = 0; line < patterns.size(); ++line) {
    const std::string &pattern = patterns[line];
    regex_t re;
    const bool compiles = regcomp(&re, pattern.c_str(), FLAGS) == 0;
    static pattern_literals literals;
    const bool understood = read_pattern_literals(pattern.c_str(), &literals);
    with_literal += understood && literals.count > 0;
    for (size_t i = 0; i < names.size(); ++i, ++compared) {
      // The index passes over all the prefilter does, and more.
      const bool index_skips = skips[i][line];
      if (index_skips &&
          (!compiles || regexec(&re, names[i].c_str(), 0, nullptr, 0) == 0)) {
        ++disagreements;
        ADD_FAILURE() << "index passed over [" << pattern << "] for ["
                      << names[i] << "]";
      }
      if (!understood || !lacks_pattern_literal(literals, folded[i])) {
        matched +=
            compiles && regexec(&re, names[i].c_str(), 0, nullptr, 0) == 0;
        continue;
      }
      ++passed_over;
      if (!index_skips || !compiles ||
          regexec(&re, names[i].c_str(), 0, nullptr, 0) == 0) {
        ++disagreements;
        ADD_FAILURE() << "passed over [" << pattern << "] for [" << names[i]
                      << "]" << (compiles ? "" : ", which does not compile");
      }
    }
    if (compiles)
      regfree(&re);
  }
  std::printf("pattern prefilter: %zu patterns (%zu with a literal) x %zu "
              "names = %zu compared, %zu passed over (%zu by the index), %zu "
              "matches, %zu disagreements\n",
              patterns.size(), with_literal, names.size(), compared,
              passed_over, index_passed_over, matched, disagreements);
  EXPECT_EQ(disagreements, 0u);
  EXPECT_GT(passed_over, compared / 4);
  EXPECT_GT(matched, patterns.size());
}

TEST(PatternPrefilter, PassesOverOnlyLinesThatCompileAndDoNotMatch) {
  compare_with_regcomp({});
}

TEST(PatternPrefilter, SoOverThePublicReverseDnsPatterns) {
  std::vector<std::string> patterns = table_patterns(CORVANE_FQRDNS_TABLE);
  if (patterns.empty())
    GTEST_SKIP() << "no patterns in " << CORVANE_FQRDNS_TABLE;
  compare_with_regcomp(std::move(patterns));
}

} // namespace

namespace {

TEST(PatternPrefilter, PassesOverALineWhoseLiteralTheNameLacks) {
  // clang-format off
  const struct { const char *pattern, *name; bool passed_over; } cases[] = {
      {"\\.example\\.net$", "mail.example.net", false},
      {"\\.example\\.net$", "a.example.net.example", true}, // not at the end
      {"^mail\\.", "a.mail.example", true},                 // not at the start
      {"^mail\\.", "MAIL.example", false},                  // case folded
      {"(dsl|dyn)[0-9]", "pool-1.example", true},           // no alternative
      {"(dsl|dyn)?x", "x.example", false},                  // optional group
      {"ab?c", "ac.example", false},                        // optional letter
      {"ab+c", "xbbbc", true},                              // lacks "ab"
      {"a(b|c)d|x", "zzz", false},                          // top-level '|'
      {"a\\.b", "xa.b", false}, {"a\\.b", "ab", true},
      {"ab(", "zz", false}, {"\\bab", "zz", false}, // broken, not understood
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pattern + std::string(" / ") + c.name);
    EXPECT_EQ(pattern_cannot_match(c.pattern, fold_subject(c.name)),
              c.passed_over);
  }
}

} // namespace
