// What `corvane-spp -s` prints about the engine (config_display).
#include "engine/config_display.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(PadSpaces, GivesTheGapUpTo1024Blanks) {
  struct row {
    const char *name;
    int used, width;
    size_t blanks;
  };
  const row rows[] = {
      {"a gap", 4, 28, 24},
      {"one blank", 27, 28, 1},
      {"no gap", 28, 28, 0},
      {"past the width", 30, 28, 0},
      {"1024 blanks", 0, 1024, 1024},
      {"1025 are none", 0, 1025, 0},
      {"1024 of 1025", 1, 1025, 1024},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.name);
    ut::c_text pad(pad_spaces(c.used, c.width));
    ASSERT_NE(pad, nullptr);
    EXPECT_EQ(std::string(pad.get()), std::string(c.blanks, ' '));
  }
}

std::vector<std::string> printed;
void collect(const char *text) { printed.emplace_back(text); }

TEST(ShowConfig, RulesInRunOrderWithTheirStatesThenTheIprLists) {
  rule_desc defaults[] = {
      {"require_helo", RULE_ENABLED, 1, 21, RECORD_CHECK, nullptr},
      {"block_lists", RULE_DISABLED, 0, 44, LIST_CHECK, nullptr},
      {nullptr, 0, 0, 0, 0, nullptr}};
  rule_desc current[] = {
      {"require_helo", RULE_DISABLED, 1, 21, RECORD_CHECK, nullptr},
      {"block_lists", RULE_ALWAYS_ON, 0, 44, LIST_CHECK, nullptr},
      {nullptr, 0, 0, 0, 0, nullptr}};
  char alpha[] = "alpha", zeta[] = "zeta";
  string_list last = {zeta, nullptr}, first = {alpha, &last};
  for (string_list *lists : {&first, static_cast<string_list *>(nullptr)}) {
    printed.clear();
    EXPECT_EQ(show_config(collect, {defaults, current, lists, nullptr, {}}), 0);
    const std::vector<std::string> end =
        lists ? std::vector<std::string>{"alpha", "zeta"}
              : std::vector<std::string>{"No IPR lists enabled."};
    std::vector<std::string> expected = {
        "Current Ruleset (rules are checked in order listed):",
        "",
        "RULE           DEFAULT    CURRENT    MUA->MTA",
        "====           =======    =======    ========",
        "require_helo   Enabled    Disabled   Yes",
        "block_lists    Disabled   AlwaysOn   No",
        "",
        "Enabled IPR Lists:",
        "=================="};
    expected.insert(expected.end(), end.begin(), end.end());
    EXPECT_EQ(printed, expected);
  }
}

} // namespace
