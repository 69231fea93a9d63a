// Text helpers: string_list, join_list and free_result, replace_all and
// is_regular_file (get_field and str_append are seen through lookupMaps).
// Leaks and double frees show under the sanitizer and valgrind runs.
#include "engine/pipeline.h"
#include "engine/string_list.h"
#include "util/general_funcs.h"

#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

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
  for (char *v : {text("b"), first, text("B"), second, text("c")})
    ASSERT_EQ(string_list_insert(&head, v, 1), 0);
  EXPECT_EQ(values_of(head), (strings{"B", "b", "c", "same", "same"}));
  EXPECT_EQ(head->next->next->next->value, second);
  string_list_clear(&head);
  EXPECT_EQ(head, nullptr);
  // Appending keeps arrival order; a sorted insert stops at a null value.
  for (char *v : {text("b"), static_cast<char *>(nullptr), text("a")})
    ASSERT_EQ(string_list_append(&head, v), 0);
  ASSERT_EQ(string_list_insert(&head, text("x"), 0), 0);
  ASSERT_EQ(string_list_insert(&head, text("c"), 1), 0);
  EXPECT_EQ(values_of(head), (strings{"b", "c", "<null>", "a", "x"}));
  string_list_clear(&head);
  EXPECT_EQ(string_list_insert(nullptr, text("a"), 1), -1);
  EXPECT_EQ(string_list_append(nullptr, text("a")), -1);
  string_list_free(&head);
  ASSERT_EQ(string_list_append(&head, strdup("one")), 0);
  ASSERT_EQ(string_list_append(&head, nullptr), 0);
  ASSERT_EQ(string_list_insert(&head, strdup("two"), 1), 0);
  string_list_free(&head);
  EXPECT_EQ(head, nullptr);
}

TEST(JoinList, PresentTextsJoinedByComma) {
  // clang-format off
  const struct { std::vector<const char *> values; const char *joined; }
      cases[] = {
      {{}, ""}, {{nullptr, nullptr}, ""}, {{"listA"}, "listA"},
      {{"a", "bb", "ccc"}, "a,bb,ccc"}, {{0, "a", 0, "b", 0}, "a,b"},
      {{"", "listB"}, "listB"},
  };
  // clang-format on
  for (const auto &c : cases) {
    string_list *list = nullptr;
    for (const char *v : c.values)
      string_list_append(&list, text(v));
    EXPECT_EQ(ut::taken(join_list(list)), c.joined);
    string_list_clear(&list);
  }
  free_result(nullptr);
  auto *result = static_cast<check_result *>(calloc(1, sizeof(check_result)));
  result->detail = strdup("block_lists:listA");
  result->summary = strdup("SPAM[block_lists:listA]: mua=0");
  free_result(result);
}

TEST(ReplaceAll, LeftToRightWithoutRescanningInsertedText) {
  // clang-format off
  const struct { const char *start, *search, *replacement, *expected; }
      cases[] = {
      {"aaa", "aa", "X", "Xa"}, {"aaaa", "aa", "X", "XX"},
      {"a-b-c", "-", "+-+", "a+-+b+-+c"}, {"abc", "b", "", "ac"},
      {"abc", "zz", "Q", "abc"}, {"%IP%x%IP%", "%IP%", "<%IP%>", "<%IP%>x<%IP%>"},
      {"keep", "", "X", "keep"}, {"keep", nullptr, "X", "keep"},
      {"keep", "e", nullptr, "keep"},
  };
  // clang-format on
  for (const auto &c : cases) {
    char *s = strdup(c.start);
    replace_all(&s, c.search, c.replacement);
    EXPECT_EQ(ut::taken(s), c.expected) << c.start;
  }
  char *none = nullptr;
  replace_all(&none, "%IP%", "X");
  EXPECT_EQ(none, nullptr);
  replace_all(nullptr, "%IP%", "X");
}

TEST(IsRegularFile, FollowsLinksAndRejectsTheRest) {
  ut::temp_dir dir;
  const std::string file = dir.write("plain", "x"), link = dir.file("link");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_TRUE(is_regular_file(file.c_str()));
  EXPECT_TRUE(is_regular_file(link.c_str()));
  for (const std::string &other :
       {dir.path(), dir.file("dangling"), dir.file("fifo"), dir.file("gone")})
    EXPECT_FALSE(is_regular_file(other.c_str())) << other;
  EXPECT_FALSE(is_regular_file(nullptr));
}

} // namespace
