// Pattern files (checkRegexList), the dynamic-address list
// (checkDSLRegexList) and its built-in fallback (isDSL). checkRegexList's
// lines come through its log argument; the lines that go to syslog are read
// from a sandbox's /dev/log where one can be had.
#include "engine/rule_registry.h"
#include "lookup/regex_lists.h"

#include "syslog_capture.h"
#include "test_support.h"

#include <cstring>
#include <regex.h>

namespace {

using ut::at;
using strings = std::vector<std::string>;

// The text glibc's regerror gives for a pattern that does not compile, cut
// to 79 bytes.
std::string compile_error_of(const std::string &pattern) {
  regex_t re;
  char text[80];
  regerror(regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB),
           &re, text, sizeof text);
  return text;
}

// "bad N P": line N's pattern P does not compile; "hit N P": it matched.
std::string line_of(const std::string &path, const std::string &subject,
                    const std::string &shorthand) {
  const size_t space = shorthand.find(' ', 4);
  const std::string n = shorthand.substr(4, space - 4);
  const std::string pattern = shorthand.substr(space + 1);
  if (shorthand.rfind("bad ", 0) == 0)
    return at(6, "Warning: checkRegexList(" + path + "): regcomp(line " + n +
                     "): " + compile_error_of(pattern));
  return at(7, "checkRegexList(" + path + ", line " + n + "): hit [" + subject +
                   "][" + pattern + "]");
}

std::string unable(const std::string &path) {
  return at(6, "Warning: checkRegexList(): unable to open file '" + path + "'");
}

TEST(RegexList, EachLineIsAPatternUntilOneMatches) {
  const std::string x(1023, 'x'), y = "(" + std::string(1022, 'y');
  const std::string a(1022, 'a'), pieces = x + y + "target\n(\n";
  // clang-format off
  const struct { const char *name; std::string content, subject; int expected;
                 strings log; } cases[] = {
      {"comments only", "# c\n\n  # indented\n\t#tab\n",
       "# c  # indented\t#tab", 0, {}},
      {"first match ends", "no\nexample\n(\nx\n", "a.example", 1,
       {"hit 2 example"}},
      {"no final newline", "# c\nexample", "a.example", 1, {"hit 2 example"}},
      {"leading blanks kept", "  abc\n", "x  abc", 1, {"hit 1   abc"}},
      {"carriage return kept", "abc\r\n", "abc\rd", 1, {"hit 1 abc\r"}},
      {"blank line is a pattern", "\t\n", "a\tb", 1, {"hit 1 \t"}},
      {"hash after text", "a#\n", "xa#y", 1, {"hit 1 a#"}},
      {"subject is data", "%\n", "%s%n%d", 1, {"hit 1 %"}},
      {"broken, then match", "(\nexample\n", "a.example", 1,
       {"bad 1 (", "hit 2 example"}},
      {"every broken line", "(\nno\n*\n{1\n", "a", -1,
       {"bad 1 (", "bad 3 *", "bad 4 {1"}},
      {"pieces, no match", pieces, "nothing", -1, {"bad 2 " + y, "bad 4 ("}},
      {"first piece alone", "^" + a + "zzz\n", a, 1, {"hit 1 ^" + a}},
      {"full piece, newline", x + "\n(\n", "q", -1, {"bad 3 ("}},
      {"piece plus newline", a + "\n(\n", "q", -1, {"bad 2 ("}},
  };
  // clang-format on
  ut::temp_dir dir;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.write("patterns", c.content);
    ut::log_lines.clear();
    EXPECT_EQ(checkRegexList(path.c_str(), c.subject.c_str(), ut::capture_log),
              c.expected);
    strings log;
    for (const std::string &l : c.log)
      log.push_back(line_of(path, c.subject, l));
    EXPECT_EQ(ut::log_lines, log);
  }
}

// A missing file is logged end to end.
TEST(RegexList, AFileThatCannotBeReadIsLoggedAsUnopened) {
  ut::temp_dir dir;
  ut::log_lines.clear();
  EXPECT_EQ(checkRegexList(dir.path().c_str(), "x", ut::capture_log), -1);
  EXPECT_EQ(ut::log_lines, strings{unable(dir.path())});
}

class DslList : public ut::syslog_test {
protected:
  void SetUp() override {
    CAPTURE_SYSLOG_OR_SKIP();
    config.dsl_regex_filename = path_.c_str();
  }
  void TearDown() override {
    config = saved_;
    ut::syslog_test::TearDown();
  }
  const corvane_config saved_ = config;
  ut::temp_dir dir_;
  const std::string path_ = dir_.file("dyna.regexes"); // missing unless written
};

// Names the pattern takes, and the file's answers, are checked end to end.
TEST_F(DslList, WithoutAUsableFileTheBuiltInPatternDecides) {
  // clang-format off
  const struct { const char *name; int expected; } cases[] = {
      {"HOST-192-168-100-200.DSL.example", 1}, {"1-2-3-1234.example", 1},
      {"mail.10-1-2-3.example", 0}, // the groups are not in the first label
      {"10-1-2-3", 0},              // nothing follows the last group
      {"x1.2-3-4-5.example", 0},    // a digit before the groups
      {"", 0},
  };
  // clang-format on
  for (const auto &c : cases)
    EXPECT_EQ(isDSL(c.name), c.expected) << c.name;
  EXPECT_EQ(logged(), strings(std::size(cases), unable(path_)));
}

TEST_F(DslList, ABrokenFileLeavesItToTheBuiltInPattern) {
  dir_.write("dyna.regexes", "(\n");
  EXPECT_EQ(isDSL("host-10-1-2-3.example"), 1);
  EXPECT_EQ(logged(), strings{line_of(path_, "", "bad 1 (")});
}

} // namespace
