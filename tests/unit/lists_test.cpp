// The list and switch files: how the check run reads and matches them
// (list_files) and how the administrator's operations change them
// (list_admin).
#include "engine/list_admin.h"
#include "engine/list_files.h"
#include "util/fd_io.h"
#include "util/raii.h"

#include "sandbox.h"
#include "test_support.h"

#include <csignal>
#include <fcntl.h>
#include <random>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/syscall.h>

namespace {

using lines = std::vector<std::string>;
using ut::exit_status_of;

// Keeps every line it is given; ends the walk with 7 at a line "stop"; walks
// the file that a line starting with '/' names.
int collect_line(const char *line, void *seen) {
  if (*line == '/')
    return for_each_list_line(line, 0, nullptr, collect_line, seen);
  static_cast<lines *>(seen)->emplace_back(line);
  return std::strcmp(line, "stop") == 0 ? 7 : 0;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

#define SKIP_WITHOUT_SANDBOX()                                                 \
  if (!sandbox::unavailable_reason().empty())                                  \
  GTEST_SKIP() << sandbox::unavailable_reason()

TEST(WildcardMatch, PlainEntriesMatchWholeStarEntriesFromTheStart) {
  // clang-format off
  const struct { const char *name, *entry, *value; int expected; } rows[] = {
      {"plain: other case", "u@example.com", "U@Example.COM", 1},
      {"plain: longer value", "u@example.com", "u@example.com.x", 0},
      {"plain: shorter value", "u@example.com", "u@example.co", 0},
      {"plain: only ASCII folded", "jos\xC3\xA9@x.com", "JOS\xC3\x89@X.COM", 0},
      {"plain: a dot is a dot", "u@example.com", "u@exampleXcom", 0},
      {"star: any tail", "*@example.com", "u@example.com.other.test", 1},
      {"star: anchored at the start", "example*", "u@example.com", 0},
      {"expression: case-blind", "[0-9]*@X.com", "7@x.COM", 1},
      {"a bad expression matches nothing", "*[", "*[", 0},
  };
  // clang-format on
  for (const auto &c : rows) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(wildcard_match(c.entry, c.value), c.expected);
  }
}

// Plain '*' entries are matched without compiling them: the result must be
// the compiled expression's, on many random pairs of the characters where
// the two could differ.
TEST(WildcardMatch, PlainStarEntriesAgreeWithTheirExpression) {
  std::mt19937 random(20261206);
  auto draw = [&random](const std::string &from, size_t longest) {
    std::string text(random() % (longest + 1), ' ');
    for (char &c : text)
      c = from[random() % from.size()];
    return text;
  };
  for (int i = 0, failures = 0; i < 20000 && failures < 5; ++i) {
    std::string entry = draw("aB.@*-_x1", 7);
    entry.insert(random() % (entry.size() + 1), 1, '*');
    const std::string value = draw("abAB.@-_xX1\n\xe9", 9);
    regex_t re;
    ASSERT_EQ(regcomp(&re, wildcard_pattern(entry.c_str()).c_str(),
                      WILDCARD_REGEX_FLAGS),
              0);
    const int expected = regexec(&re, value.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    if (wildcard_match(entry.c_str(), value.c_str()) != expected)
      ++failures, ADD_FAILURE() << entry << " / " << value;
  }
}

TEST(ListLines, AreCutSkippedAndCountedAsTheListRulesSay) {
  const std::string x(1022, 'x'), y(1023, 'y'), r(1000, 'r'), s(1000, 's');
  std::string short_lines, their_lines, long_line; // past the reader's buffer
  for (int i = 0; i < 900; ++i)
    short_lines += "123456789\n", their_lines += "123456789|",
        long_line += "0123456789abcdefghijklmnopqrs";
  ut::temp_dir dir;
  const std::string inner = dir.write("inner", "1\n" + x); // over the list
  // clang-format off
  const struct { const char *name; std::string bytes; int max;
                 std::string expected; // the lines given, each and a '|'
                 int count; } rows[] = {
      {"one CR before LF dropped, unterminated last line",
       "a\r\nb\n\nc\r\r\nd\re\nl\r", 500, "a|b||c\r|d\re|l\r|", 6},
      {"1022 bytes kept, 1023 or more skipped, counted",
       x + "\n" + y + "\n" + y + "z\n" + r + s + "\nb", 500, x + "|b|", 5},
      {"a NUL ends the line where it stands", std::string("a\0b\nc\r\0\n\0", 9),
       500, "a|c\r||", 3},
      {"a NUL in a long line: the rest is the next line", '\0' + x + s + "\n",
       500, "|" + s + "|", 2},
      {"a callback's own walk reads its own file", inner + "\nb", 500, "1|" + x + "|b|", 2},
      {"lines past the buffer", short_lines + "z", 0, their_lines + "z|", 901},
      {"long lines past the buffer", "a\n" + long_line + "\n" + long_line, 0,
       "a|" + long_line.substr(0, 1023) + "|", 3},
      {"unterminated last line: its first 1023 bytes", "f\n" + r + s, 500,
       "f|" + r + s.substr(977) + "|", 2},
      {"max lines, every kind counted", "a\n\n" + y + "\nb\nc\n", 4, "a||b|", 4},
      {"max 0: no limit", "a\nb\n", 0, "a|b|", 2},
      {"non-zero callback result ends", "a\nstop\nb\n", 500, "a|stop|", 2},
  };
  // clang-format on
  for (const auto &c : rows) {
    SCOPED_TRACE(c.name);
    lines seen;
    int count = -1;
    EXPECT_EQ(for_each_list_line(dir.write("list", c.bytes).c_str(), c.max,
                                 &count, collect_line, &seen),
              c.expected.ends_with("stop|") ? 7 : 0);
    std::string got;
    for (const std::string &line : seen)
      got += line + "|";
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(count, c.count);
  }
  int count = 99; // a missing file: no lines, no count
  EXPECT_EQ(for_each_list_line("/no/list", 500, &count, collect_line, 0), 0);
  EXPECT_EQ(count, 99);
}

// A file that its open told the size of takes one read, not a second one for
// the 0 that ends it.
TEST(ListLines, AFileOfKnownSizeTakesOneRead) {
  ut::temp_dir dir;
  int64_t size = 0;
  unique_fd fd(
      open_regular(dir.write("l", "a\nb").c_str(), O_RDONLY, 0, &size));
  static int reads = 0;
  fd_lines file(fd.get(), size, [](int fd, void *to, size_t n) {
    return ++reads, read(fd, to, n);
  });
  for (char *line; read_list_line(file, &line) != line_read::end;) {
  }
  EXPECT_EQ(reads, 1);
}

// The IP lists' matching is checked end to end.
TEST(MatchExemptionList, EachListLooksAtItsOwnValueFromItsShortestLength) {
  SKIP_WITHOUT_SANDBOX();
  // clang-format off
  const struct { const char *name; int id; const char *line, *value;
                 int expected; } rows[] = {
      {"sender whitelist: 6 characters", FROM_WHITELIST, "*", "ab@c.d", 1},
      {"sender whitelist: 5 characters", FROM_WHITELIST, "*", "a@b.c", 0},
      {"blocked senders: 6 characters", BLOCKED_FROM, "*", "ab@c.d", 1},
      {"blocked senders: 5 characters", BLOCKED_FROM, "*", "a@b.c", 0},
      {"exempt users: 6 characters", EXEMPT_USERS, "*", "ab@c.d", 1},
      {"exempt users: 5 characters", EXEMPT_USERS, "*", "a@b.c", 0},
      {"exempt IPs: 7 characters", EXEMPT_IPS, "1.2.3.4", "1.2.3.4", 1},
      {"absent value", FROM_WHITELIST, "*", nullptr, 0},
  };
  // Each list's value in the record; the others match "*".
  char *spp_state::*const values[] = {nullptr, &spp_state::mail_from,
      &spp_state::remote_ip, &spp_state::rcpt_to, &spp_state::remote_ip,
      &spp_state::mail_from};
  // clang-format on
  // In a sandbox, whose /etc/corvane is a tmpfs of its own: a digit a row,
  // then one for an unknown list.
  auto judge_rows = [&](sandbox::Sandbox &) {
    char other[] = "other@x.org";
    spp_state record = empty_state;
    record.remote_ip = record.mail_from = record.rcpt_to = other;
    std::string report;
    for (const auto &c : rows) {
      std::ofstream(list_file_path(c.id)) << c.line << "\n";
      spp_state r = record;
      r.*values[c.id] = const_cast<char *>(c.value);
      report += std::to_string(match_exemption_list(c.id, r));
    }
    return report + std::to_string(match_exemption_list(6, record));
  };
  std::string expected;
  for (const auto &c : rows)
    expected += std::to_string(c.expected);
  const sandbox::outcome o = sandbox::in_sandbox(judge_rows);
  EXPECT_EQ(o.report, expected + "0") << o.error;
  EXPECT_STREQ(list_file_path(BLOCKED_FROM), "/etc/corvane/blocked_from");
  EXPECT_EQ(list_file_path(BLOCKED_FROM + 1), nullptr); // one past the last
}

class UpdateListFile : public ::testing::Test {
protected:
  int update(const char *entry, list_update_writer writer = add_list_writer) {
    errbuf[0] = '\0';
    return update_list_file(path.c_str(), entry, errbuf, writer);
  }

  ut::temp_dir dir;
  const std::string path = dir.file("list"), temp = path + ".tmp";
  char errbuf[LIST_ERRBUF_SIZE] = "";
};

// Adding a listed entry and deleting an absent one are refused end to end.
TEST_F(UpdateListFile, AddsAndDeletesEntriesOrRefusesWithTheReason) {
  auto numbered = [](int first, int last) { // "entry<first>" ... "entry<last>"
    std::string bytes;
    for (int i = first; i <= last; ++i)
      bytes += "entry" + std::to_string(i) + "\n";
    return bytes;
  };
  const auto add = add_list_writer, del = del_list_writer;
  const std::string full = numbered(1, 499) + "\n";
  // clang-format off
  const struct { const char *name; std::string before;
                 list_update_writer writer; const char *entry;
                 const char *error; // "" when done
                 std::string after; } rows[] = {
      {"add appends, drops blank lines", "a\n\nb\r\n\r\nc", add, "d", "",
       "a\nb\nc\nd\n"},
      {"add to 499 lines", numbered(1, 499), add, "new", "",
       numbered(1, 499) + "new\n"},
      {"add to 500 lines, one blank", full, add, "new", "File is full.", full},
      {"del: every line equal in any case", "a\nu@x.org\nb\nU@X.ORG\r\n", del,
       "u@X.org", "", "a\nb\n"},
      {"del: reads past the 500th line", numbered(1, 600), del, "entry600", "",
       numbered(1, 599)},
  };
  // clang-format on
  for (const auto &c : rows) {
    SCOPED_TRACE(c.name);
    dir.write("list", c.before);
    EXPECT_EQ(update(c.entry, c.writer), *c.error ? -1 : 0);
    EXPECT_STREQ(errbuf, c.error);
    EXPECT_EQ(ut::read_file(path), c.after);
    EXPECT_FALSE(exists(temp));
  }
}

TEST_F(UpdateListFile, FilesThatCannotBeOpenedAreNamedInTheReason) {
  const std::string no_dir = dir.file("no/list");
  EXPECT_EQ(update_list_file(no_dir.c_str(), "a", errbuf, add_list_writer), -1);
  EXPECT_STREQ(errbuf, "Unable to open list file: No such file or directory");
  ASSERT_EQ(mkdir(temp.c_str(), 0755), 0);
  EXPECT_EQ(update("b"), -1);
  EXPECT_STREQ(errbuf, "Unable to open temp file: Is a directory");
}

// Both writers put the new file in place by a rename: a new file follows the
// umask, a rewritten one keeps its mode and owner.
TEST_F(UpdateListFile, NewFilesFollowTheUmaskRewrittenOnesKeepModeAndOwner) {
  char zeta[] = "zeta", blank[] = "", alpha[] = "alpha";
  string_list last = {alpha, nullptr}, middle = {blank, &last},
              names = {zeta, &middle};
  int entry = 0;
  const std::function<int()> writers[] = {
      [&] { return update(std::to_string(++entry).c_str()); },
      [&] { return write_list_file(path.c_str(), &names); }};
  const mode_t old_mask = umask(0);
  for (const auto &write : writers) {
    unlink(path.c_str());
    EXPECT_EQ(write(), 0) << errbuf;
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const bool owned = chown(path.c_str(), 1234, 5678) == 0; // as root
    EXPECT_EQ(write(), 0) << errbuf;
    EXPECT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_TRUE(!owned || (status.st_uid == 1234 && status.st_gid == 5678));
  }
  umask(old_mask);
  EXPECT_EQ(ut::read_file(path), "zeta\n\nalpha\n") << "every name in order";
  EXPECT_FALSE(exists(temp));
  EXPECT_EQ(write_list_file(dir.file("no/list").c_str(), &names), 1);
}

// Waits until `pid` sleeps after a failed lock attempt and stops it there,
// so that the test changes the files before its next attempt however slow
// the machine; false when the child ended instead.
bool stop_when_asleep(pid_t pid) {
  const std::string file = "/proc/" + std::to_string(pid) + "/syscall";
  const std::set<std::string> sleeps = {std::to_string(SYS_clock_nanosleep),
                                        std::to_string(SYS_nanosleep)};
  for (std::string call; !sleeps.count(call); sched_yield()) {
    siginfo_t ended{};
    if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        ended.si_pid == pid)
      return false;
    call.clear();
    std::ifstream(file) >> call;
  }
  return kill(pid, SIGSTOP) == 0 && waitpid(pid, nullptr, WUNTRACED) == pid;
}

// An update that locked the list while another writer replaced it must
// lock the new file; while that one stays locked it gives up untouched.
TEST_F(UpdateListFile, AnUpdateFollowsAReplacedListToItsLock) {
  for (const bool new_one_locked : {false, true}) {
    SCOPED_TRACE(new_one_locked ? "new file locked" : "new file free");
    dir.write("list", "old\n");
    const int old_lock = open(path.c_str(), O_RDWR);
    ASSERT_EQ(flock(old_lock, LOCK_EX | LOCK_NB), 0);
    const pid_t updater = fork();
    if (updater == 0) { // without the locks of this process
      close_range(3, ~0U, 0);
      _exit(update("mine") == 0 ? 0 : std::strstr(errbuf, "lock.") ? 1 : 2);
    }
    ASSERT_TRUE(stop_when_asleep(updater));
    dir.write("list.new", "other\n");
    ASSERT_EQ(rename(dir.file("list.new").c_str(), path.c_str()), 0);
    const int new_lock = new_one_locked ? open(path.c_str(), O_RDWR) : -1;
    ASSERT_TRUE(!new_one_locked || flock(new_lock, LOCK_EX | LOCK_NB) == 0);
    close(old_lock);
    kill(updater, SIGCONT);
    EXPECT_EQ(exit_status_of(updater), new_one_locked ? 1 : 0);
    close(new_lock);
    EXPECT_EQ(ut::read_file(path),
              new_one_locked ? "other\n" : "other\nmine\n");
    EXPECT_FALSE(exists(temp));
  }
}

TEST(FailedWrite, LeavesTheOldListWholeAndNoTemporaryFile) {
  SKIP_WITHOUT_SANDBOX();
  auto fill_the_disk = [](sandbox::Sandbox &) { // 40,000 bytes on 64 KB
    const char *list = "/etc/corvane/list";
    mount("tmpfs", "/etc/corvane", "tmpfs", 0, "size=64k");
    std::ofstream file(list);
    for (int i = 0; i < 4000; ++i)
      file << "line" << 10000 + i << "\n";
    file.close();
    char errbuf[LIST_ERRBUF_SIZE] = "";
    std::string big(70000, 'n');
    string_list names = {big.data(), nullptr};
    std::string report =
        std::to_string(update_list_file(list, "x", errbuf, add_list_writer));
    report += std::string(" ") + errbuf + "; ";
    report += std::to_string(write_list_file(list, &names)) + "; ";
    const std::string kept = ut::read_file(list);
    return report + std::to_string(kept.size()) + " " + kept.substr(0, 9) +
           (exists("/etc/corvane/list.tmp") ? " +tmp" : "");
  };
  const sandbox::outcome o = sandbox::in_sandbox(fill_the_disk);
  EXPECT_EQ(o.report, // no copy fits
            "-1 Unable to write temp file: No space left on device; 1; "
            "40000 line10000")
      << o.error;
}

} // namespace
