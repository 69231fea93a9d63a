// Text helpers: string_list, join_list, replace_all, is_regular_file and
// the padding of the columns that `corvane-spp -s` prints (the table itself
// is checked end to end). get_field and str_append are seen through
// lookupMaps; leaks and double frees show under the sanitizer.
#include "engine/config_display.h"
#include "engine/pipeline.h"
#include "engine/string_list.h"
#include "util/general_funcs.h"

#include "test_support.h"

#include <sys/stat.h>

namespace {

using strings = std::vector<std::string>;
char *text(const char *literal) { return const_cast<char *>(literal); }

strings values_of(const string_list *list) {
  strings out;
  for (; list; list = list->next)
    out.emplace_back(list->value ? list->value : "<null>");
  return out;
}

TEST(StringList, SortedInsertionPutsTheNewestOfEqualsFirst) {
  char first[] = "same", second[] = "same";
  string_list *head = nullptr;
  for (char *v : {text("b"), first, text("B"), second})
    ASSERT_EQ(string_list_insert(&head, v, 1), 0);
  EXPECT_EQ(values_of(head), (strings{"B", "b", "same", "same"}));
  EXPECT_EQ(head->next->next->value, second);
  string_list_clear(&head);
  // Appending keeps arrival order; a sorted insert stops at a null value.
  for (char *v : {text("b"), static_cast<char *>(nullptr), text("a")})
    ASSERT_EQ(string_list_append(&head, v), 0);
  ASSERT_EQ(string_list_insert(&head, text("c"), 1), 0);
  EXPECT_EQ(values_of(head), (strings{"b", "c", "<null>", "a"}));
  string_list_clear(&head);
  EXPECT_EQ(head, nullptr);
  ASSERT_EQ(string_list_append(&head, strdup("one")), 0);
  ASSERT_EQ(string_list_insert(&head, strdup("two"), 0), 0);
  string_list_free(&head); // the values too
  EXPECT_EQ(head, nullptr);
}

TEST(JoinList, PresentTextsJoinedByComma) {
  // clang-format off
  const struct { std::vector<const char *> values; const char *joined; }
      cases[] = {
      {{}, ""}, {{nullptr}, ""}, {{"a", "bb"}, "a,bb"}, {{0, "a", 0, "b"}, "a,b"},
      {{"", "b"}, "b"},
  };
  // clang-format on
  for (const auto &c : cases) {
    string_list *list = nullptr;
    for (const char *v : c.values)
      string_list_append(&list, text(v));
    EXPECT_EQ(ut::taken(join_list(list)), c.joined);
    string_list_clear(&list);
  }
}

TEST(ReplaceAll, LeftToRightWithoutRescanningInsertedText) {
  // clang-format off
  const struct { const char *start, *search, *replacement, *expected; }
      cases[] = {
      {"aaa", "aa", "X", "Xa"}, {"a-b-c", "-", "+-+", "a+-+b+-+c"},
      {"abc", "b", "", "ac"}, {"%IP%x%IP%", "%IP%", "<%IP%>", "<%IP%>x<%IP%>"},
      {"keep", "e", nullptr, "keep"},
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
  EXPECT_FALSE(is_regular_file(nullptr));
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
