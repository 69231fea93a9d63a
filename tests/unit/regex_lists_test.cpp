// Pattern files (checkRegexList), the dynamic-address list
// (checkDSLRegexList) and its built-in fallback (isDSL, default_dslregex).
// Pattern files are written to a scratch directory and config points there;
// checkRegexList's lines are taken through its log argument, the lines that
// go to syslog are read from a sandbox's /dev/log where one can be had.
#include "engine/rule_registry.h"
#include "lookup/regex_lists.h"

#include "syslog_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

// checkRegexList's lines are taken through its log argument.
using ut::at;
using ut::capture_log;
using ut::captured;

// The text glibc's regerror gives for this pattern, cut to 79 bytes.
std::string compile_error_of(const char *pattern) {
  regex_t re;
  int rc = regcomp(&re, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB);
  if (rc == 0) {
    regfree(&re);
    return "<compiles>";
  }
  char text[80];
  regerror(rc, &re, text, sizeof text);
  return text;
}

class RegexList : public ::testing::Test {
protected:
  void SetUp() override { ut::log_lines.clear(); }

  // Writes the file and runs checkRegexList on it.
  int check(const std::string &content, const char *subject) {
    path_ = dir_.write("patterns", content);
    return checkRegexList(path_.c_str(), subject, capture_log);
  }

  std::string warning(int line, const char *pattern) const {
    return at(LOG_INFO, "Warning: checkRegexList(" + path_ +
                            "): regcomp(line " + std::to_string(line) +
                            "): " + compile_error_of(pattern));
  }

  std::string hit(int line, const std::string &subject,
                  const std::string &pattern) const {
    return at(LOG_DEBUG, "checkRegexList(" + path_ + ", line " +
                             std::to_string(line) + "): hit [" + subject +
                             "][" + pattern + "]");
  }

  ut::temp_dir dir_;
  std::string path_;
};

// ---- the file format -------------------------------------------------------

TEST_F(RegexList, OnlyCommentsAndEmptyLinesGiveNoMatch) {
  EXPECT_EQ(check("# comment\n\n  # indented comment\n\t#tab\n", "anything"),
            0);
  EXPECT_TRUE(captured().empty());
}

TEST_F(RegexList, EmptyFileGivesNoMatch) {
  EXPECT_EQ(check("", "host.example"), 0);
  EXPECT_TRUE(captured().empty());
}

TEST_F(RegexList, SearchIgnoresCaseAndLogsTheHit) {
  EXPECT_EQ(check("\\.dsl\\.\n", "host.DSL.example"), 1);
  EXPECT_EQ(captured(),
            std::vector<std::string>{hit(1, "host.DSL.example", "\\.dsl\\.")});
}

TEST_F(RegexList, PatternsMatchAnywhereUnlessAnchored) {
  const struct {
    const char *pattern;
    const char *subject;
    int expected;
  } cases[] = {
      {"dyn", "host.DYNAMIC.example", 1},
      {"^mail\\.", "mail.example", 1},
      {"^mail\\.", "xmail.example", 0},
      {"example$", "mail.example", 1},
      {"example$", "mail.example.net", 0},
      {"^[0-9]+-[0-9]+", "10-1.example", 1},
      {"a|b", "zzb", 1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(check(std::string(c.pattern) + "\n", c.subject), c.expected)
        << c.pattern << " on " << c.subject;
  }
}

TEST_F(RegexList, FirstMatchEndsTheScan) {
  EXPECT_EQ(check("nomatch\nexample\n(\nexample\n", "mail.example"), 1);
  // Line 3 is broken but never reached: no warning.
  EXPECT_EQ(captured(),
            std::vector<std::string>{hit(2, "mail.example", "example")});
}

TEST_F(RegexList, LastLineWithoutNewlineIsAPattern) {
  EXPECT_EQ(check("# c\nexample", "mail.example"), 1);
  EXPECT_EQ(captured(),
            std::vector<std::string>{hit(2, "mail.example", "example")});
}

TEST_F(RegexList, LeadingBlanksArePartOfThePattern) {
  EXPECT_EQ(check("  abc\n", "abc"), 0);
  EXPECT_EQ(check("  abc\n", "x  abc"), 1);
}

TEST_F(RegexList, CarriageReturnIsPartOfThePattern) {
  EXPECT_EQ(check("abc\r\n", "abc"), 0);
  EXPECT_EQ(check("abc\r\n", "abc\rdef"), 1);
  EXPECT_EQ(captured().back(), hit(1, "abc\rdef", "abc\r"));
}

TEST_F(RegexList, BlankOnlyLineIsAPatternOfBlanks) {
  EXPECT_EQ(check("  \n", "ab"), 0);
  EXPECT_EQ(check("  \n", "a  b"), 1);
  EXPECT_EQ(check("\t\n", "a\tb"), 1);
}

TEST_F(RegexList, HashAfterOtherTextIsNoComment) {
  EXPECT_EQ(check("a#\n", "xa#y"), 1);
  EXPECT_EQ(check("\\#\n", "x#y"), 1);
}

TEST_F(RegexList, SubjectIsLoggedAsData) {
  EXPECT_EQ(check("%\n", "%s%n%d"), 1);
  EXPECT_EQ(captured(), std::vector<std::string>{hit(1, "%s%n%d", "%")});
}

// ---- broken patterns
// ---------------------------------------------------------

TEST_F(RegexList, BrokenFirstLineAndMatchingSecondGiveAMatch) {
  EXPECT_EQ(check("(\nexample\n", "mail.example"), 1);
  EXPECT_EQ(captured(),
            (std::vector<std::string>{warning(1, "("),
                                      hit(2, "mail.example", "example")}));
}

TEST_F(RegexList, OnlyABrokenLineGivesMinusOne) {
  EXPECT_EQ(check("# broken below\n[a-\n", "mail.example"), -1);
  EXPECT_EQ(captured(), std::vector<std::string>{warning(2, "[a-")});
}

TEST_F(RegexList, EveryBrokenLineIsReportedAndTheScanGoesOn) {
  EXPECT_EQ(check("(\nnomatch\n*\n{1\n", "mail.example"), -1);
  EXPECT_EQ(captured(),
            (std::vector<std::string>{warning(1, "("), warning(3, "*"),
                                      warning(4, "{1")}));
}

// ---- long lines
// --------------------------------------------------------------

TEST_F(RegexList, LongLineBecomesPiecesWithConsecutiveNumbers) {
  // Pieces of 1023: 'x'*1023 | '(' + 'y'*1022 | "target"; then line 4.
  const std::string piece1(1023, 'x');
  const std::string piece2 = "(" + std::string(1022, 'y');
  const std::string long_line = piece1 + piece2 + "target";
  const std::string content = long_line + "\n(\n";

  EXPECT_EQ(check(content, "the target"), 1);
  EXPECT_EQ(captured(),
            (std::vector<std::string>{warning(2, piece2.c_str()),
                                      hit(3, "the target", "target")}));

  ut::log_lines.clear();
  EXPECT_EQ(check(content, "nothing"), -1);
  EXPECT_EQ(captured(), (std::vector<std::string>{warning(2, piece2.c_str()),
                                                  warning(4, "(")}));
}

TEST_F(RegexList, FirstPieceOfALongLineIsAPatternOfItsOwn) {
  const std::string piece1 = "^" + std::string(1022, 'a');
  EXPECT_EQ(check(piece1 + "zzz\n", std::string(1022, 'a').c_str()), 1);
  EXPECT_EQ(captured().back(), hit(1, std::string(1022, 'a'), piece1));
}

TEST_F(RegexList, NewlineAfterAFullPieceIsAnEmptyLineOfItsOwn) {
  // 1023 characters fill the buffer; the newline is read as line 2.
  EXPECT_EQ(check(std::string(1023, 'q') + "\n(\n", "x"), -1);
  EXPECT_EQ(captured(), std::vector<std::string>{warning(3, "(")});
}

TEST_F(RegexList, LineOfExactlyTheBufferMinusNewlineIsOnePattern) {
  EXPECT_EQ(check(std::string(1022, 'q') + "\n(\n", "x"), -1);
  EXPECT_EQ(captured(), std::vector<std::string>{warning(2, "(")});
}

// ---- files that cannot be used
// -----------------------------------------------

TEST_F(RegexList, MissingFileGivesMinusOneAndAWarning) {
  const std::string missing = dir_.file("missing");
  EXPECT_EQ(checkRegexList(missing.c_str(), "host.example", capture_log), -1);
  EXPECT_EQ(captured(),
            std::vector<std::string>{at(
                LOG_INFO, "Warning: checkRegexList(): unable to open file '" +
                              missing + "'")});
}

TEST_F(RegexList, DirectoryGivesMinusOne) {
  EXPECT_EQ(checkRegexList(dir_.path().c_str(), "host.example", capture_log),
            -1);
  EXPECT_EQ(captured(),
            std::vector<std::string>{at(
                LOG_INFO, "Warning: checkRegexList(): unable to open file '" +
                              dir_.path() + "'")});
}

TEST_F(RegexList, MissingPathOrSubjectGivesMinusOne) {
  EXPECT_EQ(checkRegexList(nullptr, "host.example", capture_log), -1);
  EXPECT_EQ(captured(),
            std::vector<std::string>{
                at(LOG_INFO,
                   "Warning: checkRegexList(): unable to open file '(null)'")});
  const std::string path = dir_.write("p", "x\n");
  EXPECT_EQ(checkRegexList(path.c_str(), nullptr, capture_log), -1);
}

TEST_F(RegexList, WithoutALogFunctionNothingIsLogged) {
  path_ = dir_.write("p", "(\nexample\n");
  EXPECT_EQ(checkRegexList(path_.c_str(), "mail.example", nullptr), 1);
  EXPECT_EQ(checkRegexList(dir_.file("none").c_str(), "x", nullptr), -1);
  EXPECT_TRUE(captured().empty());
}

TEST_F(RegexList, ManyCallsOnAManyLineFileKeepAnswering) {
  std::string content;
  for (int i = 0; i < 300; ++i)
    content += "^host" + std::to_string(i) + "\\.example$\n";
  path_ = dir_.write("p", content);
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(checkRegexList(path_.c_str(), "host299.example", nullptr), 1);
    EXPECT_EQ(checkRegexList(path_.c_str(), "host300.example", nullptr), 0);
  }
}

// ---- the dynamic-address list and the built-in pattern
// -------------------------

TEST(DefaultDslRegex, IsTheSixtyCharacterPattern) {
  EXPECT_STREQ(default_dslregex,
               "^[^.0-9]*[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}[^0-9]*.");
  EXPECT_EQ(std::strlen(default_dslregex), 60u);
}

class DslList : public ut::syslog_test {
protected:
  void SetUp() override {
    saved_ = config;
    missing_ = dir_.file("dyna.regexes");
    config.dsl_regex_filename = missing_.c_str();
  }
  void TearDown() override {
    config = saved_;
    ut::syslog_test::TearDown();
  }

  void use_file(const std::string &content) {
    file_ = dir_.write("dyna.regexes", content);
    config.dsl_regex_filename = file_.c_str();
  }

  ut::temp_dir dir_;
  std::string missing_, file_;
  corvane_config saved_{};
};

TEST_F(DslList, WithoutTheFileTheBuiltInPatternDecides) {
  const struct {
    const char *name;
    int expected;
  } cases[] = {
      {"host-10-1-2-3.example", 1},
      {"10-1-2-3x", 1},
      {"mail.10-1-2-3.example", 0}, // the groups are not in the first label
      {"10-1-2-3", 0},              // nothing follows the last group
      {"HOST-192-168-100-200.DSL.example", 1},
      {"dsl-1-2-3-4.example", 1},
      {"x1.2-3-4-5.example", 0}, // a digit before the groups
      {"1-2-3-1234.example", 1}, // the final '.' takes any character
      {"host-10-1-2-3-4.example", 1},
      {"host.example", 0},
      {"", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(isDSL(c.name), c.expected) << c.name;
}

TEST_F(DslList, MissingNameIsNoDynamicAddress) { EXPECT_EQ(isDSL(nullptr), 0); }

TEST_F(DslList, TheFileDecidesWhenItCanBeUsed) {
  use_file("# dynamic pools\n\\.dyn\\.\n");
  EXPECT_EQ(isDSL("a.DYN.example"), 1);
  EXPECT_EQ(isDSL("host-10-1-2-3.example"), 0); // no fallback on 0
  EXPECT_EQ(checkDSLRegexList("x.dyn.example"), 1);
  EXPECT_EQ(checkDSLRegexList("mail.example"), 0);
}

TEST_F(DslList, EmptyFileMatchesNothingAndKeepsTheBuiltInPatternOut) {
  use_file("");
  EXPECT_EQ(isDSL("host-10-1-2-3.example"), 0);
}

TEST_F(DslList, BrokenFileWithoutAMatchFallsBackToTheBuiltInPattern) {
  use_file("(\n\\.dyn\\.\n");
  EXPECT_EQ(checkDSLRegexList("host-10-1-2-3.example"), -1);
  EXPECT_EQ(isDSL("host-10-1-2-3.example"), 1);
  EXPECT_EQ(isDSL("mail.example"), 0);
  EXPECT_EQ(isDSL("a.dyn.example"), 1); // the file's match stands
}

TEST_F(DslList, UnsetPathFallsBackToTheBuiltInPattern) {
  config.dsl_regex_filename = nullptr;
  EXPECT_EQ(checkDSLRegexList("host-10-1-2-3.example"), -1);
  EXPECT_EQ(isDSL("host-10-1-2-3.example"), 1);
  EXPECT_EQ(isDSL("mail.example"), 0);
}

TEST_F(DslList, UnsetPathIsLogged) {
  CAPTURE_SYSLOG_OR_SKIP();
  config.dsl_regex_filename = nullptr;
  EXPECT_EQ(checkDSLRegexList("x"), -1);
  EXPECT_EQ(logged(),
            std::vector<std::string>{at(
                LOG_INFO, "Warning: checkDSLRegexList(): filename not set")});
}

TEST_F(DslList, FileLinesGoToSyslog) {
  CAPTURE_SYSLOG_OR_SKIP();
  use_file("(\ndyn\n");
  EXPECT_EQ(isDSL("a.dyn.example"), 1);
  EXPECT_EQ(
      logged(),
      (std::vector<std::string>{
          at(LOG_INFO, "Warning: checkRegexList(" + file_ +
                           "): regcomp(line 1): " + compile_error_of("(")),
          at(LOG_DEBUG, "checkRegexList(" + file_ +
                            ", line 2): hit [a.dyn.example][dyn]")}));
}

TEST_F(DslList, MissingFileIsLoggedBeforeTheFallback) {
  CAPTURE_SYSLOG_OR_SKIP();
  EXPECT_EQ(isDSL("host-10-1-2-3.example"), 1);
  EXPECT_EQ(logged(),
            std::vector<std::string>{at(
                LOG_INFO, "Warning: checkRegexList(): unable to open file '" +
                              missing_ + "'")});
}

TEST_F(DslList, BrokenBuiltInPatternIsLoggedAndAnswersNo) {
  CAPTURE_SYSLOG_OR_SKIP();
  char saved
      [sizeof "^[^.0-9]*[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}[^0-9]*."];
  std::memcpy(saved, default_dslregex, sizeof saved);
  std::strcpy(default_dslregex, "(");
  int answer = isDSL("host-10-1-2-3.example");
  std::memcpy(default_dslregex, saved, sizeof saved);

  EXPECT_EQ(answer, 0);
  std::vector<std::string> lines = logged();
  ASSERT_EQ(lines.size(), 2u);
  // The capture drops the newline that ends the message.
  EXPECT_EQ(lines[1], at(LOG_INFO, "Warning: isDSL(): regcomp(): " +
                                       compile_error_of("(")));
}

} // namespace
