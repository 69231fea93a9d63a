#include "engine/config_display.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct pad_case {
  int used;
  int width;
  size_t blanks;
};

void PrintTo(const pad_case &c, std::ostream *os) {
  *os << "(" << c.used << ", " << c.width << ")";
}

class PadSpaces : public ::testing::TestWithParam<pad_case> {};

TEST_P(PadSpaces, GivesTheGapInBlanks) {
  ut::c_text pad(pad_spaces(GetParam().used, GetParam().width));
  ASSERT_NE(pad, nullptr);
  EXPECT_EQ(std::string(pad.get()), std::string(GetParam().blanks, ' '));
}

INSTANTIATE_TEST_SUITE_P(
    Gaps, PadSpaces,
    ::testing::Values(pad_case{4, 28, 24}, pad_case{27, 28, 1},
                      pad_case{28, 28, 0}, pad_case{30, 28, 0},
                      pad_case{0, 1024, 1024}, pad_case{0, 1025, 0},
                      pad_case{1, 1025, 1024}));

std::vector<std::string> printed;
void capture_line(const char *text) { printed.emplace_back(text); }

char *name(const char *literal) { return const_cast<char *>(literal); }

class ShowConfig : public ::testing::Test {
protected:
  void SetUp() override { printed.clear(); }
  void TearDown() override { string_list_clear(&handle.ipr_lists); }

  engine_handle handle{};
};

TEST_F(ShowConfig, TwoRulesAndTwoLists) {
  rule_desc defaults[] = {
      {"require_helo", RULE_ENABLED, 1, 21, RECORD_CHECK, nullptr},
      {"block_lists", RULE_DISABLED, 0, 44, LIST_CHECK, nullptr},
      {nullptr, 0, 0, 0, 0, nullptr}};
  rule_desc current[] = {
      {"require_helo", RULE_DISABLED, 1, 21, RECORD_CHECK, nullptr},
      {"block_lists", RULE_ALWAYS_ON, 0, 44, LIST_CHECK, nullptr},
      {nullptr, 0, 0, 0, 0, nullptr}};
  handle.default_rules = defaults;
  handle.enabled_rules = current;
  string_list_append(&handle.ipr_lists, name("alpha"));
  string_list_append(&handle.ipr_lists, name("zeta"));

  EXPECT_EQ(show_config(capture_line, handle), 0);
  EXPECT_EQ(printed,
            (std::vector<std::string>{
                "Current Ruleset (rules are checked in order listed):", "",
                "RULE           DEFAULT    CURRENT    MUA->MTA",
                "====           =======    =======    ========",
                "require_helo   Enabled    Disabled   Yes",
                "block_lists    Disabled   AlwaysOn   No", "",
                "Enabled IPR Lists:", "==================", "alpha", "zeta"}));
}

TEST_F(ShowConfig, NoTablesAndNoLists) {
  EXPECT_EQ(show_config(capture_line, handle), 0);
  EXPECT_EQ(printed,
            (std::vector<std::string>{
                "Current Ruleset (rules are checked in order listed):", "",
                "RULEDEFAULT    CURRENT    MUA->MTA",
                "===========    =======    ========", "", "Enabled IPR Lists:",
                "==================", "No IPR lists enabled."}));
}

TEST_F(ShowConfig, LongLinesAreCutAt1023Characters) {
  const std::string long_name(1500, 'r');
  rule_desc rules[] = {
      {long_name.c_str(), RULE_ENABLED, 1, 21, RECORD_CHECK, nullptr},
      {nullptr, 0, 0, 0, 0, nullptr}};
  handle.default_rules = rules;
  handle.enabled_rules = rules;
  EXPECT_EQ(show_config(capture_line, handle), 0);
  ASSERT_GE(printed.size(), 5u);
  EXPECT_EQ(printed[4], std::string(1023, 'r'));
}

} // namespace
