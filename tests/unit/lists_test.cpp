// The list and switch files: how the check run reads and matches them
// (list_files) and how the administrator's operations change them
// (list_admin).
#include "engine/list_admin.h"
#include "engine/list_files.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using lines = std::vector<std::string>;

// Keeps every line it is given; ends the walk with 7 at a line "stop".
int collect_line(const char *line, void *seen) {
  static_cast<lines *>(seen)->emplace_back(line);
  return std::strcmp(line, "stop") == 0 ? 7 : 0;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

mode_t mode_of(const std::string &path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(WildcardMatch, PlainEntriesMatchWholeStarEntriesFromTheStart) {
  struct row {
    const char *name, *entry, *value;
    int expected;
  };
  const row rows[] = {
      {"plain: other case", "u@example.com", "U@Example.COM", 1},
      {"plain: longer value", "u@example.com", "u@example.com.x", 0},
      {"plain: shorter value", "u@example.com", "u@example.co", 0},
      {"plain: only ASCII folded", "jos\xC3\xA9@x.com", "JOS\xC3\x89@X.COM", 0},
      {"plain: a dot is a dot", "u@example.com", "u@exampleXcom", 0},
      {"star: any tail", "*@example.com", "u@example.com.other.test", 1},
      {"star: case-blind", "*@EXAMPLE.com", "u@example.COM", 1},
      {"star: anchored at the start", "example*", "u@example.com", 0},
      {"expression: case-blind", "[0-9]*@X.com", "7@x.COM", 1},
      {"expression: no match", "[0-9]*@x.com", "y@x.com", 0},
      {"a bad expression matches nothing", "*[", "*[", 0},
      {"absent value", "*", nullptr, 0},
      {"absent entry", nullptr, "u@example.com", 0},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(wildcard_match(c.entry, c.value), c.expected);
  }
}

// Plain '*' entries are matched without compiling them: the result must be
// the compiled expression's, so both are compared on many random pairs
// drawn from the characters where they could differ.
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
  struct row {
    const char *name;
    std::string bytes;
    int max;
    std::string expected; // the lines given, each followed by '|'
    int count;
  };
  const std::string x(1022, 'x'), y(1023, 'y'), r(1000, 'r'), s(1000, 's');
  const row rows[] = {
      {"line feed, then one CR removed", "a\r\nb\n\nc\r\r\nd\re\n", 500,
       "a|b||c\r|d\re|", 5},
      {"unterminated last line", "f\nl\r", 500, "f|l\r|", 2},
      {"1022 bytes are an entry", x + "\nn\n", 500, x + "|n|", 2},
      {"1023 or more: skipped, counted", "a\n" + y + "\n" + r + s + "\nb", 500,
       "a|b|", 4},
      {"long unterminated last line", "f\n" + y, 500, "f|" + y + "|", 2},
      {"its first 1023 bytes", r + s, 500, r + s.substr(977) + "|", 1},
      {"max lines, every kind counted", "a\n\n" + y + "\nb\nc\n", 4, "a||b|",
       4},
      {"max 0: no limit", "a\nb\n", 0, "a|b|", 2},
      {"non-zero callback result ends", "a\nstop\nb\n", 500, "a|stop|", 2},
  };
  ut::temp_dir dir;
  for (const row &c : rows) {
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
  int count = 99;
  EXPECT_EQ(for_each_list_line(dir.file("no").c_str(), 500, &count,
                               collect_line, nullptr),
            0);
  EXPECT_EQ(count, 99) << "a missing file: no lines, no count";
}

int exit_status_of(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status)
             ? WEXITSTATUS(status)
             : -1;
}

// What `body` prints in a child with its own mount namespace, after
// `prepare` has mounted what it needs there; "-" when it cannot, and a
// mark at the end when the child fails.
std::string in_private_mounts(const std::function<bool()> &prepare,
                              const std::function<void()> &body) {
  int out[2];
  if (pipe(out) != 0)
    return "-";
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !prepare())
      _exit(77);
    dup2(out[1], STDOUT_FILENO);
    body();
    _exit(std::fflush(stdout));
  }
  close(out[1]);
  std::string printed;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
    printed.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  const int status = exit_status_of(child);
  return status == 77 ? "-" : status == 0 ? printed : printed + "[failed]";
}

TEST(MatchExemptionList, EachListLooksAtItsOwnValueFromItsShortestLength) {
  struct row {
    const char *name;
    int id;
    const char *line, *value;
    int expected;
  };
  const row rows[] = {
      {"sender whitelist: 6 characters", FROM_WHITELIST, "*", "ab@c.d", 1},
      {"sender whitelist: 5 characters", FROM_WHITELIST, "*", "a@b.c", 0},
      {"blocked senders: 6 characters", BLOCKED_FROM, "*", "ab@c.d", 1},
      {"blocked senders: 5 characters", BLOCKED_FROM, "*", "a@b.c", 0},
      {"exempt users: 6 characters", EXEMPT_USERS, "*", "ab@c.d", 1},
      {"exempt users: 5 characters", EXEMPT_USERS, "*", "a@b.c", 0},
      {"exempt IPs: the client", EXEMPT_IPS, "1.2.3.4", "1.2.3.4", 1},
      {"blocked IPs: the client", BLOCKED_IPS, "1.2.3.4", "1.2.3.4", 1},
      {"IP lists skip what is no IP", BLOCKED_IPS, "1.2.3.*", "1.2.3.4", 0},
      {"absent value", FROM_WHITELIST, "*", nullptr, 0},
  };
  // Each list's file and the value of the record it looks at; the other
  // values are long enough to match "*".
  const struct {
    const char *file;
    char *spp_state::*value;
  } lists[] = {{},
               {"from_whitelist", &spp_state::mail_from},
               {"exempt_ips", &spp_state::remote_ip},
               {"exempt_users", &spp_state::rcpt_to},
               {"blocked_ips", &spp_state::remote_ip},
               {"blocked_from", &spp_state::mail_from}};
  const std::string out = in_private_mounts(
      [] { // an empty /etc, holding an empty /etc/corvane
        return mount("tmpfs", "/etc", "tmpfs", 0, nullptr) == 0 &&
               mkdir("/etc/corvane", 0755) == 0;
      },
      [&] {
        for (const row &c : rows) {
          const std::string path =
              "/etc/corvane/" + std::string(lists[c.id].file);
          std::ofstream(path) << c.line << "\n";
          char other[] = "other@x.org";
          spp_state record = empty_state;
          record.remote_ip = record.mail_from = record.rcpt_to = other;
          record.*lists[c.id].value = const_cast<char *>(c.value);
          std::printf("%d", match_exemption_list(c.id, record));
          unlink(path.c_str());
        }
      });
  if (out == "-")
    GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(out.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(out[i] - '0', rows[i].expected);
  }
}

// --- update_list_file on a list in a scratch folder -----------------------

class UpdateListFile : public ::testing::Test {
protected:
  int update(const char *entry, list_update_writer writer = add_list_writer) {
    errbuf[0] = '\0';
    return update_list_file(path.c_str(), entry, errbuf, writer);
  }
  std::string content() const { return ut::read_file(path); }

  ut::temp_dir dir;
  const std::string path = dir.file("list"), temp = path + ".tmp";
  char errbuf[LIST_ERRBUF_SIZE] = "";
};

TEST_F(UpdateListFile, AddsAndDeletesEntriesOrRefusesWithTheReason) {
  struct row {
    const char *name;
    std::optional<std::string> before; // none: no list file
    list_update_writer writer;
    const char *entry;
    const char *error; // "" when done
    std::string after;
  };
  const auto add = add_list_writer, del = del_list_writer;
  auto numbered = [](int first, int last) { // "entry<first>" ... "entry<last>"
    std::string bytes;
    for (int i = first; i <= last; ++i)
      bytes += "entry" + std::to_string(i) + "\n";
    return bytes;
  };
  const std::string dup = "first\nu@x.org\nlast\n\n",
                    full = numbered(1, 499) + "\n";
  const row rows[] = {
      {"add appends, drops blank lines", "a\n\nb\r\n\r\nc", add, "d", "",
       "a\nb\nc\nd\n"},
      {"add creates a missing list", std::nullopt, add, "1.2.3.4", "",
       "1.2.3.4\n"},
      {"add: listed in another case", dup, add, "U@X.org",
       "Entry already exists.", dup},
      {"add to 499 lines", numbered(1, 499), add, "new", "",
       numbered(1, 499) + "new\n"},
      {"add to 500 lines, one blank", full, add, "new", "File is full.", full},
      {"del: every line equal in any case", "a\nu@x.org\nb\nU@X.ORG\r\n", del,
       "u@X.org", "", "a\nb\n"},
      {"del: an absent entry is named", "a\n\nb\n", del, "zz@x.org",
       "Entry not found. (zz@x.org)", "a\n\nb\n"},
      {"del: missing list left empty", std::nullopt, del, "a",
       "Entry not found. (a)", ""},
      {"del: reads past the 500th line", numbered(1, 600), del, "entry600", "",
       numbered(1, 599)},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.name);
    unlink(path.c_str());
    if (c.before)
      dir.write("list", *c.before);
    EXPECT_EQ(update(c.entry, c.writer), *c.error ? -1 : 0);
    EXPECT_STREQ(errbuf, c.error);
    EXPECT_EQ(content(), c.after);
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
    EXPECT_EQ(mode_of(path), 0666u);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const bool owned = chown(path.c_str(), 1234, 5678) == 0; // as root
    EXPECT_EQ(write(), 0) << errbuf;
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_TRUE(!owned || (status.st_uid == 1234 && status.st_gid == 5678));
  }
  umask(old_mask);
  EXPECT_EQ(content(), "zeta\n\nalpha\n") << "every name in list order";
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
    if (new_one_locked) {
      ASSERT_EQ(flock(new_lock, LOCK_EX | LOCK_NB), 0);
    }
    close(old_lock);
    kill(updater, SIGCONT);
    EXPECT_EQ(exit_status_of(updater), new_one_locked ? 1 : 0);
    close(new_lock);
    EXPECT_EQ(content(), new_one_locked ? "other\n" : "other\nmine\n");
    EXPECT_FALSE(exists(temp));
  }
}

TEST_F(UpdateListFile, ConcurrentAddsLoseNoEntry) {
  constexpr int WRITERS = 6, ENTRIES = 20;
  std::multiset<std::string> all;
  std::vector<pid_t> writers;
  for (int w = 0; w < WRITERS; ++w) {
    for (int i = 0; i < ENTRIES; ++i)
      all.insert(std::to_string(w * 100 + i));
    const pid_t child = fork();
    if (child == 0) { // tries again after a lock failure, as an admin would
      for (int i = 0; i < ENTRIES; ++i)
        while (update(std::to_string(w * 100 + i).c_str()) != 0)
          if (!std::strstr(errbuf, "Could not acquire lock"))
            _exit(1);
      _exit(0);
    }
    writers.push_back(child);
  }
  for (pid_t w : writers)
    EXPECT_EQ(exit_status_of(w), 0) << "a writer failed";
  lines got;
  (void)for_each_list_line(path.c_str(), 0, nullptr, collect_line, &got);
  EXPECT_EQ(std::multiset<std::string>(got.begin(), got.end()), all);
  EXPECT_FALSE(exists(temp));
}

TEST(FailedWrite, LeavesTheOldListWholeAndNoTemporaryFile) {
  ut::temp_dir dir;
  const std::string list = dir.file("list"), temp = list + ".tmp";
  const std::string out = in_private_mounts(
      [&] { // a list of 40,000 bytes on 64 KB: no copy of it fits
        std::ofstream file;
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") == 0)
          file.open(list);
        for (int i = 0; i < 4000; ++i)
          file << "line" << 10000 + i << "\n";
        return static_cast<bool>(file.flush());
      },
      [&] {
        char errbuf[LIST_ERRBUF_SIZE] = "";
        const int rc =
            update_list_file(list.c_str(), "x", errbuf, add_list_writer);
        std::printf("%d %s %d\n", rc, errbuf, exists(temp));
        std::string big(70000, 'n');
        string_list names = {big.data(), nullptr};
        const int failed = write_list_file(list.c_str(), &names);
        std::printf("%d %d\n", failed, exists(temp));
        const std::string kept = ut::read_file(list);
        std::printf("%zu %s", kept.size(), kept.substr(0, 10).c_str());
      });
  if (out == "-")
    GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(out, "-1 Unable to write temp file: No space left on device 0\n"
                 "1 0\n40000 line10000\n");
}

} // namespace
