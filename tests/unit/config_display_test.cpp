// The padding of the columns that `corvane-spp -s` prints (config_display;
// the table itself is checked end to end).
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

} // namespace
