// ut_stringutils and the older string functions: the growing operations,
// the in-place editors at their edge bytes, and replacement.
#include "util/general_funcs_ext.h"
#include "util/ut_stringutils.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using strings = std::vector<std::string>;

// "<result>|<string>" after `op` ran on a heap copy of `before` (null
// stays null and shows as "<null>").
template <typename Op> std::string after(const char *before, Op op) {
  char *s = before ? strdup(before) : nullptr;
  const int result = op(&s);
  std::string out = std::to_string(result) + "|" + (s ? s : "<null>");
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
    EXPECT_EQ(after(c.text, c.op), std::string("1|") + c.expected) << c.name;
}

TEST(UtStrings, GrowingOperationsAppendOrReplace) {
  auto cat = [](const char *t) {
    return [t](char **s) { return ut_strcat(s, t); };
  };
  auto ccat = [](char c) { return [c](char **s) { return ut_ccat(s, c); }; };
  auto icat = [](int64_t n) { return [n](char **s) { return ut_icat(s, n); }; };
  auto ltoa = [](int64_t n) { return [n](char **s) { return ut_ltoa(s, n); }; };
  EXPECT_EQ(after(nullptr, cat("abc")), "1|abc");
  EXPECT_EQ(after("abc", cat("de")), "1|abcde");
  EXPECT_EQ(after("abc", cat(nullptr)), "0|abc");
  EXPECT_EQ(after("ab", [](char **s) { return ut_strcat(s, *s); }), "1|abab");
  EXPECT_EQ(after(nullptr, ccat('x')), "1|x");
  EXPECT_EQ(after("ab", ccat('\xff')), "1|ab\xff");
  EXPECT_EQ(after("ab", ccat('\0')), "0|ab");
  EXPECT_EQ(after("pid.", icat(42)), "1|pid.42");
  EXPECT_EQ(after(nullptr, icat(-7)), "1|-7");
  EXPECT_EQ(after(nullptr, ltoa(0)), "1|0");
  EXPECT_EQ(after("old", ltoa(-12)), "1|-12");
  EXPECT_EQ(after(nullptr, ltoa(1000)), "1|1000");
  EXPECT_EQ(after("x", ltoa(INT64_MIN)), "1|-9223372036854775808");
  EXPECT_EQ(after("x", ltoa(INT64_MAX)), "1|9223372036854775807");
}

TEST(UtStrings, ReplaceGoesLeftToRightWithoutRescanning) {
  const struct {
    const char *text, *search, *replacement, *after;
  } cases[] = {{"aaa", "aa", "b", "1|ba"},
               {"%IP% and %IP%", "%IP%", "1.2", "1|1.2 and 1.2"},
               {"xax", "a", "aa", "1|xaax"},
               {"a-b-", "-", "", "1|ab"},
               {"abab", "ab", "", "1|"},
               {"abc", "x", "y", "1|abc"},
               {"abc", "b", "b", "1|abc"},
               {"abc", "", "y", "0|abc"},
               {"", "a", "y", "0|"}};
  for (const auto &c : cases)
    EXPECT_EQ(after(c.text,
                    [&](char **s) {
                      return ut_str_replace(s, c.search, c.replacement);
                    }),
              c.after)
        << c.text << " " << c.search;
}

} // namespace
