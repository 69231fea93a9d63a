// ut_stringutils and the older string functions: the growing operations,
// the in-place editors at their edge bytes, and replacement.
#include "util/general_funcs_ext.h"
#include "util/ut_stringutils.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unistd.h>

namespace {

using strings = std::vector<std::string>;

// The string after `op` ran on a heap copy of `before` (null stays null),
// "<null>" for none; the operation's result goes to *result.
template <typename Op>
std::string after(const char *before, Op op, int *result = nullptr) {
  char *s = before ? strdup(before) : nullptr;
  const int r = op(&s);
  if (result)
    *result = r;
  std::string out = s ? s : "<null>";
  std::free(s);
  return out;
}

template <void (*F)(char *)> int in_place(char **s) { return F(*s), 1; }
template <void (*F)(char **)> int edit(char **s) { return F(s), 1; }

TEST(UtStrings, EditorsChangeExactlyTheirBytes) {
  const struct {
    const char *name;
    int (*op)(char **);
    const char *text, *expected;
  } cases[] = {
      {"trim both ends", edit<ut_trim>, "  a b \t\r\n", "a b"},
      {"trim: high bytes go at the end only", edit<ut_trim>,
       "\t\xc3\xa9"
       "caf\xc3\xa9",
       "\xc3\xa9"
       "caf"},
      {"trim: control, DEL at the end", edit<ut_trim>, "\x01x\x7f\x1f",
       "\x01x"},
      {"trim: visible edges stay", edit<ut_trim>, "\v!a~", "!a~"},
      {"trim: start byte unexamined", edit<ut_trim>, " \x01", "\x01"},
      {"trim: whitespace only", edit<ut_trim>, " \t ", ""},
      {"trim: empty", edit<ut_trim>, "", ""},
      {"chomp at the first line end", edit<ut_chomp>, "a\rb\n", "a"},
      {"simplify runs, keep single tabs", edit<ut_simplify_whitespace>,
       "  a \t b\tc  ", "a b\tc"},
      {"strip every whitespace byte", edit<ut_strip_whitespace>, " a b\tc\n",
       "abc"},
      {"lower ASCII only", in_place<ut_lower>, "AZaz09[@\xc3\x89",
       "azaz09[@\xc3\x89"},
      {"upper ASCII only", in_place<ut_upper>, "azAZ09`{\xc3\xa9",
       "AZAZ09`{\xc3\xa9"},
      {"older lower", in_place<lower_ascii>, "ABC@[", "abc@["},
      {"older upper", in_place<upper_ascii>, "abc`{", "ABC`{"},
      {"line ends become NUL", in_place<strip_line_ends>, "ab\r\ncd", "ab"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(after(c.text, c.op), c.expected) << c.name;
}

TEST(UtStrings, GrowingOperationsAppendOrReplace) {
  auto cat = [](const char *t) {
    return [t](char **s) { return ut_strcat(s, t); };
  };
  auto ccat = [](char c) { return [c](char **s) { return ut_ccat(s, c); }; };
  auto icat = [](int64_t n) { return [n](char **s) { return ut_icat(s, n); }; };
  auto ltoa = [](int64_t n) { return [n](char **s) { return ut_ltoa(s, n); }; };
  int r = -1;
  EXPECT_EQ(after(nullptr, cat("abc")), "abc");
  EXPECT_EQ(after("abc", cat("de")), "abcde");
  EXPECT_EQ(after("abc", cat(nullptr), &r), "abc");
  EXPECT_EQ(r, 0);
  EXPECT_EQ(after(nullptr, ccat('x')), "x");
  EXPECT_EQ(after("ab", ccat('\xff')), "ab\xff");
  EXPECT_EQ(after("ab", ccat('\0'), &r), "ab");
  EXPECT_EQ(r, 0);
  EXPECT_EQ(after("pid.", icat(42)), "pid.42");
  EXPECT_EQ(after(nullptr, icat(-7)), "-7");
  EXPECT_EQ(after(nullptr, ltoa(0)), "0");
  EXPECT_EQ(after("old", ltoa(-12)), "-12");
  EXPECT_EQ(after(nullptr, ltoa(1000)), "1000");
  EXPECT_EQ(after("x", ltoa(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(after("x", ltoa(INT64_MAX)), "9223372036854775807");
  EXPECT_EQ(after("ab", [](char **s) { return ut_strcat(s, *s); }), "abab");
}

TEST(UtStrings, ReplaceGoesLeftToRightWithoutRescanning) {
  const struct {
    const char *text, *search, *replacement;
    int result;
    const char *after;
  } cases[] = {
      {"aaa", "aa", "b", 1, "ba"},
      {"%IP% and %IP%", "%IP%", "1.2", 1, "1.2 and 1.2"},
      {"xax", "a", "aa", 1, "xaax"},
      {"a-b-", "-", "", 1, "ab"},
      {"abab", "ab", "", 1, ""},
      {"abc", "x", "y", 1, "abc"},
      {"abc", "b", "b", 1, "abc"},
      {"abc", "", "y", 0, "abc"},
      {"", "a", "y", 0, ""},
  };
  for (const auto &c : cases) {
    int r = -1;
    EXPECT_EQ(after(
                  c.text,
                  [&](char **s) {
                    return ut_str_replace(s, c.search, c.replacement);
                  },
                  &r),
              c.after)
        << c.text << " " << c.search;
    EXPECT_EQ(r, c.result) << c.text << " " << c.search;
  }
}

TEST(UtStrings, ArgumentErrorsAreReportedAndChangeNothing) {
  ut::library_reports reports;
  EXPECT_EQ(after(nullptr, edit<ut_trim>), "<null>");
  ut_lower(nullptr);
  EXPECT_EQ(ut_ltoa(nullptr, 1), 0);
  const std::string einval = std::strerror(EINVAL);
  EXPECT_EQ(reports.lines(),
            (strings{"3 ut_stringutils.cpp:# ERROR ut_trim(): " + einval,
                     "3 ut_stringutils.cpp:# ERROR ut_lower(): " + einval,
                     "3 ut_stringutils.cpp:# ERROR ut_ltoa(): " + einval}));
}

TEST(OlderStrings, NumbersAndTemporaryNames) {
  auto to_text = [](int64_t n) {
    return [n](char **s) { return int_to_str(n, s), 1; };
  };
  EXPECT_EQ(after("old", to_text(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(after(nullptr, to_text(0)), "0");
  ut::c_text name(tmp_file_name("ihd"));
  EXPECT_EQ(std::string(name.get()), "/tmp/ihd." + std::to_string(getpid()));
  EXPECT_EQ(tmp_file_name(nullptr), nullptr);
}

} // namespace
