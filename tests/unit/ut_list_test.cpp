// ut_list: appending with and without copies, splitting text into fields,
// searching, and the two removals with their ownership rules.
#include "util/ut_list.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using strings = std::vector<std::string>;

// Each member's bytes up to its size, terminators included.
strings members(const ut_list_node *list) {
  strings out;
  for (; list; list = list->next)
    out.emplace_back(static_cast<const char *>(list->data), list->size);
  return out;
}

ut_list_node *split(const char *text, ut_list_node *list = nullptr) {
  EXPECT_EQ(ut_list_from_string_by_char(&list, text, strlen(text), ','), 1);
  return list;
}

int released = 0;
void count_release(void *data) {
  ++released;
  std::free(data);
}

int text_compare(const void *data, const void *key, size_t n) {
  return std::strncmp(static_cast<const char *>(data),
                      static_cast<const char *>(key), n);
}

TEST(UtList, AppendCountsMembersCopiesOnRequestAndRefusesEmptyData) {
  ut::library_reports reports;
  ut_list_node *list = nullptr;
  char bytes[] = "abc";
  EXPECT_EQ(ut_append_list_entry(&list, bytes, 3, true), 1);
  EXPECT_EQ(ut_append_list_entry(&list, bytes, 1, false), 2);
  EXPECT_EQ(ut_append_list_entry(&list, bytes, 0, true), -1);
  EXPECT_EQ(ut_append_list_entry(&list, nullptr, 3, true), -1);
  EXPECT_EQ(ut_append_list_entry(&list, bytes, 2, true), 3);
  bytes[0] = 'X'; // the copies keep their bytes, the borrowed member not
  EXPECT_EQ(members(list), (strings{"abc", "X", "ab"}));
  EXPECT_EQ(ut_num_elements(list), 3);
  ut_list_node *borrowed = list->next;
  ASSERT_EQ(ut_list_remove(&list, borrowed), 1); // its data is not the heap's
  std::free(borrowed);
  ut_destroy_list(&list, std::free);
  EXPECT_EQ(list, nullptr);
  ut_destroy_list(&list, std::free); // empty: nothing to report
  ut_destroy_list(nullptr, std::free);
  const std::string einval = std::strerror(EINVAL);
  EXPECT_EQ(reports.lines(),
            (strings{"3 ut_list.cpp:# ERROR ut_append_list_entry(): " + einval,
                     "3 ut_list.cpp:# ERROR ut_append_list_entry(): " + einval,
                     "3 ut_list.cpp:# ERROR ut_destroy_list(): " + einval}));
}

TEST(UtList, SplitByCharAppendsEachNonEmptyRunUntrimmed) {
  const struct {
    const char *text;
    uint64_t length;
    strings fields; // each with its terminator
  } cases[] = {{"a,,b,", 5, {"a\0"s, "b\0"s}},
               {",,,", 3, {}},
               {" a , b ", 7, {" a \0"s, " b \0"s}},
               {"ab,cd", 4, {"ab\0"s, "c\0"s}}}; // nothing past the length
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ut_list_node *list = nullptr;
    EXPECT_EQ(ut_list_from_string_by_char(&list, c.text, c.length, ','), 1);
    EXPECT_EQ(members(list), c.fields);
    ut_destroy_list(&list, std::free);
  }
  ut_list_node *list = split("y", split("x"));
  EXPECT_EQ(members(list), (strings{"x\0"s, "y\0"s}));
  EXPECT_EQ(ut_list_from_string_by_char(&list, "w", 0, ','), 0);
  ut_destroy_list(&list, std::free);
}

TEST(UtList, SearchComparesTheShorterLengthAndSkipsReleasedMembers) {
  ut_list_node *list = split("zz,abc,ab");
  EXPECT_EQ(ut_list_search(list, "ab", 3, text_compare), list->next->next);
  EXPECT_EQ(ut_list_search(list, "ab", 2, text_compare), list->next);
  EXPECT_FALSE(ut_list_contains(list, "abd", 4, text_compare));
  EXPECT_EQ(ut_list_search(list, "ab", 0, text_compare), nullptr);
  std::free(list->next->data);
  list->next->data = nullptr; // as after a release: skipped, not released
  EXPECT_EQ(ut_list_search(list, "ab", 2, text_compare), list->next->next);
  released = 0;
  ut_destroy_list(&list, count_release);
  EXPECT_EQ(released, 2);
}

TEST(UtList, RemoveUnlinksByAddressAndRemoveFreeReleasesOnce) {
  ut_list_node *list = split("a,b,c,d"), *first = list;
  EXPECT_EQ(ut_list_remove(&list, first), 1);
  EXPECT_EQ(first->next, nullptr);
  EXPECT_EQ(ut_list_remove(&list, first), 0); // no longer in the list
  ut_list_node *middle = list->next;          // "c"
  EXPECT_EQ(ut_list_remove(&list, middle), 1);
  EXPECT_EQ(members(list), (strings{"b\0"s, "d\0"s}));
  ut_destroy_list(&first, std::free); // both now the caller's
  ut_destroy_list(&middle, std::free);
  list = split("e", list);
  released = 0;
  EXPECT_EQ(ut_list_remove_free(&list, list->next, count_release), 1);
  EXPECT_EQ(released, 1);
  EXPECT_EQ(members(list), (strings{"b\0"s, "e\0"s}));
  ut_list_node stranger = {};
  EXPECT_EQ(ut_list_remove_free(&list, &stranger, count_release), 1);
  EXPECT_EQ(ut_list_remove_free(&list, nullptr, count_release), 0);
  EXPECT_EQ(members(list), (strings{"b\0"s, "e\0"s}));
  ut_destroy_list(&list, count_release);
  EXPECT_EQ(released, 3);
}

} // namespace
