#include "engine/list_files.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <random>
#include <regex.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct match_case {
  const char *entry;
  const char *value;
  int expected;
};

void PrintTo(const match_case &c, std::ostream *os) {
  *os << "entry '" << c.entry << "' value '" << c.value << "'";
}

class WildcardMatch : public ::testing::TestWithParam<match_case> {};

TEST_P(WildcardMatch, GivesExpectedResult) {
  const match_case &c = GetParam();
  EXPECT_EQ(wildcard_match(c.entry, c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    PlainEntryEqualsIgnoringAsciiCase, WildcardMatch,
    ::testing::Values(
        match_case{"user@example.com", "USER@Example.COM", 1},
        match_case{"user@example.com", "user@example.com", 1},
        match_case{"user@example.com", "user@example.com.x", 0},
        match_case{"user@example.com", "user@example.co", 0},
        match_case{"user@example.com", "xuser@example.com", 0},
        // Only ASCII letters are folded: the two bytes of a UTF-8 'é' and
        // 'É' differ.
        match_case{"jos\xC3\xA9@example.com", "JOS\xC3\x89@EXAMPLE.COM", 0},
        // Without a '*' the entry is not a pattern: '.' is a plain dot.
        match_case{"user@example.com", "user@exampleXcom", 0}));

INSTANTIATE_TEST_SUITE_P(
    StarEntryIsRegexAnchoredAtStart, WildcardMatch,
    ::testing::Values(match_case{"*@example.com", "user@example.com", 1},
                      match_case{"*@example.com", "user@example.com.other.test",
                                 1},
                      match_case{"*@example.com", "user@exampleXcom", 1},
                      match_case{"*.example.com", "user@example.com", 1},
                      match_case{"*@example.com", "user@example.org", 0},
                      match_case{"*@EXAMPLE.com", "user@example.COM", 1},
                      match_case{"user*", "USER@anywhere.test", 1},
                      match_case{"example*", "user@example.com", 0},
                      match_case{"a*c", "ABBBC", 1},
                      match_case{"a*c", "xabc", 0},
                      match_case{"[0-9]*@example.com", "7@example.com", 1},
                      match_case{"[0-9]*@example.com", "x@example.com", 0},
                      match_case{"*", "", 1}, match_case{"*[", "*[", 0},
                      match_case{"*[", "anything", 0}));

// The direct matcher for plain entries must agree with the compiled
// expression on every entry and value: compare both on many random pairs
// drawn from the characters where they could disagree.
TEST(WildcardMatchPlainEntries, AgreeWithTheCompiledExpression) {
  std::mt19937 random(20261206);
  const std::string entry_chars = "aB.@*-_x1";
  const std::string value_chars = "abAB.@-_xX1\n\xe9";
  auto draw = [&random](const std::string &from, size_t max) {
    std::string text(std::uniform_int_distribution<size_t>(0, max)(random),
                     ' ');
    for (char &c : text)
      c = from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(
          random)];
    return text;
  };
  int disagreements = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string entry = draw(entry_chars, 7);
    if (entry.find('*') == std::string::npos)
      entry.insert(std::uniform_int_distribution<size_t>(0, entry.size())(random),
                   1, '*');
    const std::string value = draw(value_chars, 9);
    regex_t re;
    ASSERT_EQ(regcomp(&re, wildcard_pattern(entry.c_str()).c_str(),
                      WILDCARD_REGEX_FLAGS),
              0)
        << entry;
    const int expected = regexec(&re, value.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    if (wildcard_match(entry.c_str(), value.c_str()) != expected &&
        ++disagreements <= 5)
      ADD_FAILURE() << "entry '" << entry << "' value '" << value
                    << "': expected " << expected;
  }
  EXPECT_EQ(disagreements, 0);
}

TEST(WildcardMatchNull, EitherSideNullGivesZero) {
  EXPECT_EQ(wildcard_match(nullptr, "user@example.com"), 0);
  EXPECT_EQ(wildcard_match("user@example.com", nullptr), 0);
  EXPECT_EQ(wildcard_match("*", nullptr), 0);
  EXPECT_EQ(wildcard_match(nullptr, nullptr), 0);
}

// Records every line handed to the callback; stops the walk with `stop_code`
// at the line equal to `stop_at`.
struct line_collector {
  std::vector<std::string> lines;
  std::string stop_at;
  int stop_code = 0;

  static int callback(const char *line, void *context) {
    auto *self = static_cast<line_collector *>(context);
    self->lines.emplace_back(line);
    return !self->stop_at.empty() && self->stop_at == line ? self->stop_code
                                                           : 0;
  }
};

class ListLines : public ::testing::Test {
protected:
  // Walks `bytes` as a list file read with at most `max` lines.
  int walk(const std::string &bytes, int max = MAX_LIST_LINES) {
    const std::string path = dir.write("list", bytes);
    return for_each_list_line(path.c_str(), max, &count,
                              line_collector::callback, &seen);
  }

  ut::temp_dir dir;
  line_collector seen;
  int count = -1;
};

using lines = std::vector<std::string>;

TEST_F(ListLines, LineFeedThenOneCarriageReturnRemoved) {
  EXPECT_EQ(walk("alpha\r\nbeta\n\ngamma\r\r\nde\rlta\n"), 0);
  EXPECT_EQ(seen.lines, (lines{"alpha", "beta", "", "gamma\r", "de\rlta"}));
  EXPECT_EQ(count, 5);
}

TEST_F(ListLines, UnterminatedLastLineKeepsItsCarriageReturn) {
  EXPECT_EQ(walk("first\nlast\r"), 0);
  EXPECT_EQ(seen.lines, (lines{"first", "last\r"}));
  EXPECT_EQ(count, 2);
}

TEST_F(ListLines, LineOf1022BytesIsAnEntry) {
  const std::string longest(1022, 'x');
  walk(longest + "\nnext\n");
  EXPECT_EQ(seen.lines, (lines{longest, "next"}));
  EXPECT_EQ(count, 2);
}

TEST_F(ListLines, LineOf1023BytesOrMoreIsSkippedButCounted) {
  walk("a\n" + std::string(1023, 'y') + "\nb\n" + std::string(5000, 'z') +
       "\nc\n");
  EXPECT_EQ(seen.lines, (lines{"a", "b", "c"}));
  EXPECT_EQ(count, 5);
}

TEST_F(ListLines, LongUnterminatedLastLineGivesItsFirst1023Bytes) {
  walk("first\n" + std::string(1023, 'q'));
  EXPECT_EQ(seen.lines, (lines{"first", std::string(1023, 'q')}));

  seen.lines.clear();
  walk(std::string(1000, 'r') + std::string(1000, 's'));
  EXPECT_EQ(seen.lines, (lines{std::string(1000, 'r') + std::string(23, 's')}));
  EXPECT_EQ(count, 1);
}

TEST_F(ListLines, AtMostMaxLinesCountingBlankAndSkippedOnes) {
  walk("a\n\n" + std::string(2000, 'l') + "\nb\nc\nd\n", 4);
  EXPECT_EQ(seen.lines, (lines{"a", "", "b"}));
  EXPECT_EQ(count, 4);
}

TEST_F(ListLines, FirstNonZeroCallbackResultStopsTheWalk) {
  seen.stop_at = "stop";
  seen.stop_code = 7;
  EXPECT_EQ(walk("a\nstop\nb\nstop\n"), 7);
  EXPECT_EQ(seen.lines, (lines{"a", "stop"}));
  EXPECT_EQ(count, 2);
}

TEST_F(ListLines, MissingFileGivesZeroAndLeavesCounterAlone) {
  count = 99;
  EXPECT_EQ(for_each_list_line(dir.file("absent").c_str(), MAX_LIST_LINES,
                               &count, line_collector::callback, &seen),
            0);
  EXPECT_EQ(count, 99);
  EXPECT_TRUE(seen.lines.empty());
}

std::vector<std::string> values_of(const string_list *list) {
  std::vector<std::string> out;
  for (; list; list = list->next)
    out.emplace_back(list->value ? list->value : "<null>");
  return out;
}

TEST(ReadListFile, NonEmptyLinesSortedByteWiseWithDuplicates) {
  ut::temp_dir dir;
  const std::string path =
      dir.write("names", "zeta\n\nalpha\nmid\nBeta\nalpha\r\n");
  string_list *list = nullptr;
  ASSERT_EQ(read_list_file(path.c_str(), &list), 0);
  EXPECT_EQ(values_of(list), (lines{"Beta", "alpha", "alpha", "mid", "zeta"}));
  string_list_free(&list); // the values are the list's own heap copies
}

TEST(ReadListFile, ReadsAtMost500Lines) {
  ut::temp_dir dir;
  std::string bytes;
  for (int i = 0; i < 501; ++i)
    bytes.append("n").append(std::to_string(1000 + i)).append("\n");
  const std::string path = dir.write("many", bytes);
  string_list *list = nullptr;
  ASSERT_EQ(read_list_file(path.c_str(), &list), 0);
  const auto got = values_of(list);
  ASSERT_EQ(got.size(), 500u);
  EXPECT_EQ(got.front(), "n1000");
  EXPECT_EQ(got.back(), "n1499");
  string_list_free(&list);
}

TEST(ReadListFile, MissingFileLeavesListEmpty) {
  ut::temp_dir dir;
  string_list *list = nullptr;
  EXPECT_EQ(read_list_file(dir.file("absent").c_str(), &list), 0);
  EXPECT_EQ(list, nullptr);
}

TEST(ReadListFile, NoListAddressGivesMinusOne) {
  ut::temp_dir dir;
  const std::string path = dir.write("names", "a\n");
  EXPECT_EQ(read_list_file(path.c_str(), nullptr), -1);
}

// The exemption and block lists live at fixed paths under /etc/corvane. To
// give them contents without touching the host, the check runs in a child
// that has its own mount namespace with an empty tmpfs over /etc. The
// child's exit status is the check's result; 77 means the namespace could
// not be made.
constexpr int NO_NAMESPACE = 77;

int in_private_etc(
    const std::vector<std::pair<std::string, std::string>> &files,
    const std::function<int()> &check) {
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/etc", "tmpfs", 0, "mode=0755") != 0 ||
        mkdir("/etc/corvane", 0755) != 0)
      _exit(NO_NAMESPACE);
    for (const auto &[name, bytes] : files) {
      int fd = open(("/etc/corvane/" + name).c_str(), O_WRONLY | O_CREAT, 0644);
      if (fd < 0 || write(fd, bytes.data(), bytes.size()) !=
                        static_cast<ssize_t>(bytes.size()))
        _exit(NO_NAMESPACE);
      close(fd);
    }
    _exit(check());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

spp_state record_with(char *value) {
  spp_state record = empty_state;
  record.remote_ip = value;
  record.mail_from = value;
  record.rcpt_to = value;
  return record;
}

// Every list holds an entry that matches anything of its kind.
const std::vector<std::pair<std::string, std::string>> permissive_lists = {
    {"from_whitelist", "*\n"},
    {"exempt_users", "*\n"},
    {"blocked_from", "*\n"},
    {"exempt_ips", "192.0.2.1\n"},
    {"blocked_ips", "192.0.2.1\n"}};

// Bit i of the result is match_exemption_list(ids[i], record with value).
int match_bits(const std::vector<int> &ids, const char *value) {
  return in_private_etc(permissive_lists, [&] {
    std::string copy = value ? value : "";
    spp_state record = record_with(value ? copy.data() : nullptr);
    int bits = 0;
    for (size_t i = 0; i < ids.size(); ++i)
      if (match_exemption_list(ids[i], record) == 1)
        bits |= 1 << i;
    return bits;
  });
}

TEST(MatchExemptionList, AddressListsNeedAtLeastSixCharacters) {
  const std::vector<int> ids = {FROM_WHITELIST, EXEMPT_USERS, BLOCKED_FROM};
  const int shorter = match_bits(ids, "a@b.c");
  if (shorter == NO_NAMESPACE)
    GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(shorter, 0) << "a 5-character value must not be looked up";
  EXPECT_EQ(match_bits(ids, "ab@c.d"), 0b111)
      << "a 6-character value is looked up (and matches '*')";
}

TEST(MatchExemptionList, IpListsMatchAListedAddress) {
  const int bits = match_bits({EXEMPT_IPS, BLOCKED_IPS}, "192.0.2.1");
  if (bits == NO_NAMESPACE)
    GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(bits, 0b11);
}

TEST(MatchExemptionList, UnknownIdOrAbsentValueGivesZero) {
  const int unknown = match_bits({0, 6, -1}, "192.0.2.1");
  if (unknown == NO_NAMESPACE)
    GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(unknown, 0);
  EXPECT_EQ(match_bits({FROM_WHITELIST, EXEMPT_IPS, EXEMPT_USERS, BLOCKED_IPS,
                        BLOCKED_FROM},
                       nullptr),
            0);
}

} // namespace
