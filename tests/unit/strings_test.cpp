#include "engine/pipeline.h"
#include "engine/string_list.h"
#include "lookup/dns_lookup.h"
#include "util/general_funcs.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- isIPAddress ---------------------------------------------------------

struct ip_case {
  const char *text;
  int expected;
};

void PrintTo(const ip_case &c, std::ostream *os) {
  *os << "'" << c.text << "'";
}

class IsIPAddress : public ::testing::TestWithParam<ip_case> {};

TEST_P(IsIPAddress, GivesExpectedResult) {
  EXPECT_EQ(isIPAddress(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(DottedQuads, IsIPAddress,
                         ::testing::Values(ip_case{"1.2.3.4", 1},
                                           ip_case{"010.1.1.1", 1},
                                           ip_case{"0.0.0.0", 1},
                                           ip_case{"255.255.255.255", 1},
                                           ip_case{"192.0.2.1", 1}));

INSTANTIATE_TEST_SUITE_P(NotDottedQuads, IsIPAddress,
                         ::testing::Values(ip_case{"1.2.3.4.", 0},
                                           ip_case{"1.2.3", 0}, ip_case{"", 0},
                                           ip_case{"1.2.3.256", 0},
                                           ip_case{"a.b.c.d", 0},
                                           ip_case{"192.0.2.1 ", 0},
                                           ip_case{"192.0.2.1 x", 0}));

TEST(IsIPAddressNull, GivesMinusOne) { EXPECT_EQ(isIPAddress(nullptr), -1); }

// ---- string_list ---------------------------------------------------------

std::vector<std::string> values_of(const string_list *list) {
  std::vector<std::string> out;
  for (; list; list = list->next)
    out.emplace_back(list->value ? list->value : "<null>");
  return out;
}

char *text(const char *literal) { return const_cast<char *>(literal); }

using strings = std::vector<std::string>;

TEST(StringList, SortedInsertionOrdersByStrcmp) {
  string_list *head = nullptr;
  for (const char *v : {"b", "a", "c", "B"})
    ASSERT_EQ(string_list_insert(&head, text(v), 1), 0);
  EXPECT_EQ(values_of(head), (strings{"B", "a", "b", "c"}));
  string_list_clear(&head);
  EXPECT_EQ(head, nullptr);
}

TEST(StringList, AppendKeepsArrivalOrder) {
  string_list *head = nullptr;
  ASSERT_EQ(string_list_append(&head, text("b")), 0);
  ASSERT_EQ(string_list_append(&head, text("a")), 0);
  ASSERT_EQ(string_list_insert(&head, text("c"), 0), 0);
  EXPECT_EQ(values_of(head), (strings{"b", "a", "c"}));
  string_list_clear(&head);
}

TEST(StringList, EqualValueGoesBeforeTheExistingOne) {
  char first[] = "same";
  char second[] = "same";
  string_list *head = nullptr;
  ASSERT_EQ(string_list_insert(&head, text("a"), 1), 0);
  ASSERT_EQ(string_list_insert(&head, first, 1), 0);
  ASSERT_EQ(string_list_insert(&head, text("z"), 1), 0);
  ASSERT_EQ(string_list_insert(&head, second, 1), 0);
  ASSERT_EQ(values_of(head), (strings{"a", "same", "same", "z"}));
  EXPECT_EQ(head->next->value, second);
  EXPECT_EQ(head->next->next->value, first);
  string_list_clear(&head);
}

TEST(StringList, SortedInsertionStopsBeforeANullValue) {
  string_list *head = nullptr;
  ASSERT_EQ(string_list_append(&head, nullptr), 0);
  ASSERT_EQ(string_list_append(&head, text("a")), 0);
  ASSERT_EQ(string_list_insert(&head, text("x"), 1), 0);
  EXPECT_EQ(values_of(head), (strings{"x", "<null>", "a"}));
  string_list_clear(&head);
}

TEST(StringList, MissingHeadAddressGivesMinusOne) {
  EXPECT_EQ(string_list_insert(nullptr, text("a"), 1), -1);
  EXPECT_EQ(string_list_insert(nullptr, text("a"), 0), -1);
  EXPECT_EQ(string_list_append(nullptr, text("a")), -1);
}

TEST(StringList, ClearAndFreeOfEmptyListLeaveNull) {
  string_list *head = nullptr;
  string_list_clear(&head);
  EXPECT_EQ(head, nullptr);
  string_list_free(&head);
  EXPECT_EQ(head, nullptr);
}

// Leaks or double frees here show under the sanitizer and valgrind runs.
TEST(StringList, FreeReleasesNodesAndValues) {
  string_list *head = nullptr;
  ASSERT_EQ(string_list_append(&head, strdup("one")), 0);
  ASSERT_EQ(string_list_append(&head, nullptr), 0);
  ASSERT_EQ(string_list_insert(&head, strdup("two"), 1), 0);
  string_list_free(&head);
  EXPECT_EQ(head, nullptr);
}

// ---- join_list and free_result -------------------------------------------

std::string joined(const string_list *list) {
  ut::c_text text(join_list(list));
  if (!text)
    return "<null>";
  return text.get();
}

TEST(JoinList, EmptyListGivesEmptyText) {
  EXPECT_EQ(joined(nullptr), "");
  string_list *only_nulls = nullptr;
  string_list_append(&only_nulls, nullptr);
  string_list_append(&only_nulls, nullptr);
  EXPECT_EQ(joined(only_nulls), "");
  string_list_clear(&only_nulls);
}

TEST(JoinList, PresentTextsJoinedByComma) {
  string_list *list = nullptr;
  string_list_append(&list, text("listA"));
  EXPECT_EQ(joined(list), "listA");
  string_list_append(&list, text("listB"));
  EXPECT_EQ(joined(list), "listA,listB");
  string_list_clear(&list);
}

TEST(JoinList, NullEntriesAreSkipped) {
  string_list *list = nullptr;
  const char *const values[] = {nullptr, "a", nullptr, "b", nullptr};
  for (const char *v : values)
    string_list_append(&list, text(v));
  EXPECT_EQ(joined(list), "a,b");
  string_list_clear(&list);
}

TEST(JoinList, EmptyFirstTextGivesNoLeadingComma) {
  string_list *list = nullptr;
  string_list_append(&list, text(""));
  string_list_append(&list, text("listB"));
  EXPECT_EQ(joined(list), "listB");
  string_list_clear(&list);
}

TEST(FreeResult, ReleasesResultAndItsTexts) {
  free_result(nullptr);
  auto *result =
      static_cast<check_result *>(std::calloc(1, sizeof(check_result)));
  ASSERT_NE(result, nullptr);
  result->detail = strdup("block_lists:listA");
  result->summary = strdup("SPAM[block_lists:listA]: mua=0");
  free_result(result); // a leak shows under the sanitizer and valgrind runs
}

// ---- general_funcs -------------------------------------------------------

std::string replaced(const char *start, const char *search,
                     const char *replacement) {
  char *s = strdup(start);
  replace_all(&s, search, replacement);
  ut::c_text owner(s);
  return s;
}

TEST(ReplaceAll, LeftToRightWithoutOverlap) {
  EXPECT_EQ(replaced("aaa", "aa", "X"), "Xa");
  EXPECT_EQ(replaced("aaaa", "aa", "X"), "XX");
  EXPECT_EQ(replaced("a-b-c", "-", "+-+"), "a+-+b+-+c");
  EXPECT_EQ(replaced("abc", "b", ""), "ac");
  EXPECT_EQ(replaced("abc", "zz", "Q"), "abc");
}

TEST(ReplaceAll, InsertedTextIsNotRescanned) {
  EXPECT_EQ(replaced("%IP%x%IP%", "%IP%", "<%IP%>"), "<%IP%>x<%IP%>");
  EXPECT_EQ(replaced("%IP%", "%IP%", "%IP%%IP%"), "%IP%%IP%");
}

TEST(ReplaceAll, ResultIsANewHeapBlock) {
  char *s = strdup("x %IP% y");
  const auto before = reinterpret_cast<std::uintptr_t>(s);
  replace_all(&s, "%IP%", "192.0.2.1");
  ut::c_text owner(s);
  EXPECT_STREQ(s, "x 192.0.2.1 y");
  EXPECT_NE(reinterpret_cast<std::uintptr_t>(s), before);
}

TEST(ReplaceAll, EmptySearchOrMissingArgumentChangesNothing) {
  char *s = strdup("keep %IP%");
  char *const original = s;
  ut::c_text owner(s);
  replace_all(&s, "", "X");
  replace_all(&s, nullptr, "X");
  replace_all(&s, "%IP%", nullptr);
  EXPECT_EQ(s, original);
  EXPECT_STREQ(s, "keep %IP%");

  char *none = nullptr;
  replace_all(&none, "%IP%", "X");
  EXPECT_EQ(none, nullptr);
  replace_all(nullptr, "%IP%", "X");
}

TEST(GetField, FieldsBetweenDelimiters) {
  char *s = nullptr;
  ASSERT_EQ(get_field(0, &s, "a  b", ' '), 1);
  EXPECT_STREQ(s, "a");
  ASSERT_EQ(get_field(1, &s, "a  b", ' '), 1);
  EXPECT_STREQ(s, "");
  ASSERT_EQ(get_field(2, &s, "a  b", ' '), 1);
  EXPECT_STREQ(s, "b");
  ASSERT_EQ(get_field(0, &s, ",x", ','), 1);
  EXPECT_STREQ(s, "");
  ASSERT_EQ(get_field(1, &s, ",x", ','), 1);
  EXPECT_STREQ(s, "x");
  std::free(s);
}

TEST(GetField, MissingFieldLeavesStringUntouched) {
  char *s = strdup("keep");
  char *const original = s;
  ut::c_text owner(s);
  EXPECT_EQ(get_field(3, &s, "a  b", ' '), 0);
  EXPECT_EQ(get_field(1, &s, "x", ' '), 0);
  EXPECT_EQ(get_field(0, &s, nullptr, ' '), 0);
  EXPECT_EQ(get_field(0, nullptr, "x", ' '), 0);
  EXPECT_EQ(s, original);
  EXPECT_STREQ(s, "keep");
}

TEST(StrAppend, OntoNullGivesACopy) {
  const char *source = "abc";
  char *s = nullptr;
  str_append(&s, source);
  ut::c_text owner(s);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "abc");
  EXPECT_NE(s, source);
}

TEST(StrAppend, OntoTextConcatenates) {
  char *s = strdup("abc");
  str_append(&s, "def");
  str_append(&s, "");
  ut::c_text owner(s);
  EXPECT_STREQ(s, "abcdef");
}

TEST(IsRegularFile, FollowsLinksAndRejectsTheRest) {
  ut::temp_dir dir;
  const std::string file = dir.write("plain", "x");
  const std::string link = dir.file("link");
  const std::string dangling = dir.file("dangling");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dangling.c_str()), 0);
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  EXPECT_TRUE(is_regular_file(file.c_str()));
  EXPECT_TRUE(is_regular_file(link.c_str()));
  EXPECT_FALSE(is_regular_file(dir.path().c_str()));
  EXPECT_FALSE(is_regular_file(dangling.c_str()));
  EXPECT_FALSE(is_regular_file(fifo.c_str()));
  EXPECT_FALSE(is_regular_file(dir.file("gone").c_str()));
  EXPECT_FALSE(is_regular_file(nullptr));
}

} // namespace
