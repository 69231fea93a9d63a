// Text helpers: replace_all, is_regular_file and the padding of the columns
// that `corvane-spp -s` prints (the table itself is checked end to end).
// get_field and str_append are seen through lookupMaps; string_list and
// join_list in the sorted lists and the summary lines end to end.
#include "engine/config_display.h"
#include "util/general_funcs.h"

#include "test_support.h"

#include <sys/stat.h>

namespace {

// Filling a notice's placeholders is checked with the notices.
TEST(ReplaceAll, LeftToRightWithoutRescanningInsertedText) {
  // clang-format off
  const struct { const char *start, *search, *replacement, *expected; }
      cases[] = {
      {"aaa", "aa", "X", "Xa"}, {"a-b-c", "-", "", "abc"},
      {"%IP%x%IP%", "%IP%", "<%IP%>", "<%IP%>x<%IP%>"},
  };
  // clang-format on
  for (const auto &c : cases) {
    char *s = strdup(c.start);
    replace_all(&s, c.search, c.replacement);
    EXPECT_EQ(ut::taken(s), c.expected) << c.start;
  }
}

TEST(IsRegularFile, FollowsLinksAndRejectsTheRest) {
  ut::temp_dir dir;
  const std::string file = dir.write("plain", "x"), link = dir.file("link");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_TRUE(is_regular_file(link.c_str()));
  for (const std::string &other :
       {dir.path(), dir.file("dangling"), dir.file("fifo")})
    EXPECT_FALSE(is_regular_file(other.c_str())) << other;
}

TEST(PadSpaces, GivesTheGapUpTo1024Blanks) {
  // clang-format off
  const struct { int used, width; size_t blanks; } cases[] = {
      {27, 28, 1}, {28, 28, 0}, {30, 28, 0}, {0, 1024, 1024}, {0, 1025, 0},
      {1, 1025, 1024},
  };
  // clang-format on
  for (const auto &c : cases)
    EXPECT_EQ(ut::taken(pad_spaces(c.used, c.width)),
              std::string(c.blanks, ' '))
        << c.used << " of " << c.width;
}

} // namespace
