#include "engine/list_admin.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

using namespace std::chrono_literals;
using lines = std::vector<std::string>;

constexpr const char *LOCK_FAILED =
    "Failed to update list: Could not acquire lock.";

bool exists(const std::string &path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// --- update_list_file and its writers, on a list in a scratch folder ------

class UpdateListFile : public ::testing::Test {
protected:
  // The update's result; the reason, if any, in `errbuf`.
  int update(const char *entry, list_update_writer writer) {
    errbuf[0] = '\0';
    return update_list_file(path.c_str(), entry, errbuf, writer);
  }
  int add(const char *entry) { return update(entry, add_list_writer); }
  int del(const char *entry) { return update(entry, del_list_writer); }
  void write(const std::string &bytes) { dir.write("list", bytes); }
  std::string content() const { return ut::read_file(path); }
  bool temp_left() const { return exists(path + ".tmp"); }
  // A change that `result` says was refused for `reason`, leaving the list
  // as `kept` and no temporary file.
  void expect_refused(int result, const char *reason, const std::string &kept) {
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(errbuf, reason);
    EXPECT_EQ(content(), kept);
    EXPECT_FALSE(temp_left());
  }

  ut::temp_dir dir;
  const std::string path = dir.file("list");
  char errbuf[LIST_ERRBUF_SIZE] = "";
};

// `count` lines "entry<first>", "entry<first + 1>", ..., each ended.
std::string numbered(int first, int count) {
  std::string bytes;
  for (int i = first; i < first + count; ++i)
    bytes += "entry"s + std::to_string(i) + "\n";
  return bytes;
}

TEST_F(UpdateListFile, AddAppendsTheEntryAndDropsBlankLines) {
  write("alpha\n\nbeta\r\n\r\ngamma");
  ASSERT_EQ(add("delta"), 0) << errbuf;
  EXPECT_STREQ(errbuf, "");
  EXPECT_EQ(content(), "alpha\nbeta\ngamma\ndelta\n");
  EXPECT_FALSE(temp_left());
}

TEST_F(UpdateListFile, AddCreatesAMissingList) {
  ASSERT_EQ(add("192.0.2.1"), 0) << errbuf;
  EXPECT_EQ(content(), "192.0.2.1\n");
}

TEST_F(UpdateListFile, AddRefusesAnEntryThatExistsIgnoringCase) {
  const std::string list = "first\nuser@example.com\nlast\n\n";
  write(list);
  expect_refused(add("User@Example.COM"), "Entry already exists.", list);
}

TEST_F(UpdateListFile, AddRefusesAtFiveHundredLinesCountingBlankOnes) {
  const std::string full = numbered(1, 499) + "\n";
  write(full);
  expect_refused(add("new"), "File is full.", full);

  write(numbered(1, 499));
  ASSERT_EQ(add("new"), 0) << errbuf;
  EXPECT_EQ(content(), numbered(1, 499) + "new\n");
  EXPECT_EQ(add("newer"), -1);
  EXPECT_STREQ(errbuf, "File is full.");
}

TEST_F(UpdateListFile, DeleteRemovesEveryLineEqualIgnoringCase) {
  write("a\nuser@example.com\n\nb\nUSER@EXAMPLE.COM\r\nc");
  ASSERT_EQ(del("User@Example.com"), 0) << errbuf;
  EXPECT_EQ(content(), "a\nb\nc\n");
  EXPECT_FALSE(temp_left());
}

TEST_F(UpdateListFile, DeleteOfAnAbsentEntryNamesIt) {
  write("a\n\nb\n");
  expect_refused(del("zz@example.com"), "Entry not found. (zz@example.com)",
                 "a\n\nb\n");
}

TEST_F(UpdateListFile, DeleteFromAMissingListLeavesAnEmptyList) {
  EXPECT_EQ(del("a"), -1);
  EXPECT_STREQ(errbuf, "Entry not found. (a)");
  EXPECT_EQ(content(), "");
}

TEST_F(UpdateListFile, DeleteKeepsTheLinesAfterThe500th) {
  write(numbered(1, 600));
  ASSERT_EQ(del("entry3"), 0) << errbuf;
  EXPECT_EQ(content(), numbered(1, 2) + numbered(4, 597));
  ASSERT_EQ(del("entry600"), 0) << errbuf;
  EXPECT_EQ(content(), numbered(1, 2) + numbered(4, 596));
}

TEST_F(UpdateListFile, OverLongLinesAreKept) {
  const std::string long_line(5000, 'x');
  write("a\n" + long_line + "\nb\n");
  ASSERT_EQ(del("a"), 0) << errbuf;
  ASSERT_EQ(add("c"), 0) << errbuf;
  EXPECT_EQ(content(), long_line + "\nb\nc\n");
}

TEST_F(UpdateListFile, TheListKeepsItsPermissions) {
  write("a\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(add("b"), 0) << errbuf;
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(UpdateListFile, MissingArgumentsLeaveErrbufUntouched) {
  std::strcpy(errbuf, "untouched");
  EXPECT_EQ(update_list_file(nullptr, "a", errbuf, add_list_writer), -1);
  EXPECT_EQ(update_list_file(path.c_str(), nullptr, errbuf, add_list_writer),
            -1);
  EXPECT_EQ(update_list_file(path.c_str(), "a", errbuf, nullptr), -1);
  EXPECT_STREQ(errbuf, "untouched");
  EXPECT_FALSE(exists(path));
}

TEST_F(UpdateListFile, ListThatCannotBeOpened) {
  const std::string missing = dir.file("no/such/list");
  EXPECT_EQ(update_list_file(missing.c_str(), "a", errbuf, add_list_writer),
            -1);
  EXPECT_STREQ(errbuf, "Unable to open list file: No such file or directory");
}

TEST_F(UpdateListFile, TempFileThatCannotBeOpened) {
  write("a\n");
  ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0755), 0);
  EXPECT_EQ(add("b"), -1);
  EXPECT_STREQ(errbuf, "Unable to open temp file: Is a directory");
  EXPECT_EQ(content(), "a\n");
}

// Holds an exclusive flock on a file for as long as it lives, as another
// process's update would.
class lock_holder {
public:
  explicit lock_holder(const std::string &path)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT, 0644)) {
    locked_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~lock_holder() { release(); }
  bool locked() const { return locked_; }
  void release() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

private:
  int fd_;
  bool locked_ = false;
};

TEST_F(UpdateListFile, LockHeldElsewhereFailsAfterAboutThreeSeconds) {
  write("a\n");
  // flock locks belong to the open file, so a child holding its own open of
  // the list is "another process" for the update.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    lock_holder lock(path);
    char c = lock.locked() ? '1' : '0';
    (void)!::write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = '0';
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(add("b"), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_STREQ(errbuf, LOCK_FAILED);
  EXPECT_GE(took, 2900ms);
  EXPECT_LE(took, 6000ms);
  EXPECT_EQ(content(), "a\n");
  EXPECT_FALSE(temp_left());
}

// Starts an update of `path` in a child; its exit status is 0 when the
// update succeeded, 1 for the lock failure and 2 for any other failure.
// The child lets go of the descriptors it inherits, so that the locks held
// in this process are not also held by the child.
pid_t start_update(const std::string &path, const char *entry) {
  pid_t child = fork();
  if (child == 0) {
    close_range(3, ~0U, 0);
    char errbuf[LIST_ERRBUF_SIZE] = "";
    if (update_list_file(path.c_str(), entry, errbuf, add_list_writer) == 0)
      _exit(0);
    _exit(std::strcmp(errbuf, LOCK_FAILED) == 0 ? 1 : 2);
  }
  return child;
}

int exit_status_of(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// Replaces the list by a new file with `bytes`, as a writer's rename does.
void replace_list(const ut::temp_dir &dir, const std::string &bytes) {
  dir.write("list.new", bytes);
  ASSERT_EQ(rename(dir.file("list.new").c_str(), dir.file("list").c_str()), 0);
}

TEST_F(UpdateListFile, AnUpdateThatLockedAReplacedListLocksTheNewOne) {
  write("old\n");
  lock_holder old_lock(path);
  ASSERT_TRUE(old_lock.locked());
  pid_t updater = start_update(path, "mine");
  // The updater's first attempt fails; while it sleeps, another writer
  // replaces the list and lets go of the old one.
  std::this_thread::sleep_for(300ms);
  replace_list(dir, "other\n");
  old_lock.release();
  EXPECT_EQ(exit_status_of(updater), 0);
  EXPECT_EQ(content(), "other\nmine\n");
  EXPECT_FALSE(temp_left());
}

TEST_F(UpdateListFile, TheLockOfAReplacedListDoesNotLetAnUpdateWrite) {
  write("old\n");
  lock_holder old_lock(path);
  ASSERT_TRUE(old_lock.locked());
  pid_t updater = start_update(path, "mine");
  std::this_thread::sleep_for(300ms);
  replace_list(dir, "other\n");
  // Another writer holds the lock of the live list, as it would while it
  // writes the temporary file; the old file's lock is free.
  lock_holder live_lock(path);
  ASSERT_TRUE(live_lock.locked());
  old_lock.release();
  EXPECT_EQ(exit_status_of(updater), 1);
  EXPECT_EQ(content(), "other\n");
  EXPECT_FALSE(temp_left());
}

// --- Concurrent updates and readers ----------------------------------------

std::string concurrent_entry(int writer, int i) {
  return "w"s + std::to_string(writer) + "-" + std::to_string(i) +
         "@example.test";
}

bool well_formed(const std::string &line) {
  int writer = -1, i = -1, used = 0;
  return std::sscanf(line.c_str(), "w%d-%d@example.test%n", &writer, &i,
                     &used) == 2 &&
         static_cast<size_t>(used) == line.size() &&
         line == concurrent_entry(writer, i);
}

int collect_line(const char *line, void *context) {
  static_cast<lines *>(context)->emplace_back(line);
  return 0;
}

// Reads the list until `stop` reaches its end. Every read must show whole,
// well-formed entries, and each read must begin with the list the read
// before it saw (adds only append). Exit status 0, or what went wrong.
[[noreturn]] void read_until_stopped(const std::string &path, int stop) {
  lines before;
  long reads = 0;
  for (;;) {
    struct pollfd p = {stop, POLLIN, 0};
    const bool last = poll(&p, 1, 0) == 1;
    lines now;
    (void)for_each_list_line(path.c_str(), 0, nullptr, collect_line, &now);
    ++reads;
    for (const std::string &line : now)
      if (!well_formed(line))
        _exit(3);
    if (now.size() < before.size() ||
        !std::equal(before.begin(), before.end(), now.begin()))
      _exit(4);
    before = std::move(now);
    if (last)
      _exit(reads > 1 ? 0 : 5);
  }
}

// Adds its entries, trying again after a lock failure (as an administrator
// would); exit status 0, or 1 for any other failure.
[[noreturn]] void add_entries(const std::string &path, int writer, int count,
                              int start) {
  char go;
  (void)!read(start, &go, 1);
  for (int i = 0; i < count; ++i) {
    const std::string entry = concurrent_entry(writer, i);
    char errbuf[LIST_ERRBUF_SIZE];
    for (;;) {
      errbuf[0] = '\0';
      if (update_list_file(path.c_str(), entry.c_str(), errbuf,
                           add_list_writer) == 0)
        break;
      if (std::strcmp(errbuf, LOCK_FAILED) != 0)
        _exit(1);
    }
  }
  _exit(0);
}

TEST(ConcurrentUpdates, NoEntryIsLostAndReadersSeeWholeLists) {
  constexpr int WRITERS = 6, ENTRIES = 40, READERS = 2;
  ut::temp_dir dir;
  const std::string path = dir.file("list");
  int start[2], stop[2];
  ASSERT_EQ(pipe(start), 0);
  ASSERT_EQ(pipe(stop), 0);
  std::vector<pid_t> writers, readers;
  for (int r = 0; r < READERS; ++r) {
    pid_t child = fork();
    if (child == 0) {
      close(stop[1]);
      read_until_stopped(path, stop[0]);
    }
    readers.push_back(child);
  }
  for (int w = 0; w < WRITERS; ++w) {
    pid_t child = fork();
    if (child == 0)
      add_entries(path, w, ENTRIES, start[0]);
    writers.push_back(child);
  }
  close(start[0]);
  close(stop[0]);
  // Every writer is waiting for its go: let them all run at once.
  const std::string go(WRITERS, 'g');
  ASSERT_EQ(::write(start[1], go.data(), go.size()),
            static_cast<ssize_t>(go.size()));
  close(start[1]);
  for (pid_t w : writers)
    EXPECT_EQ(exit_status_of(w), 0) << "a writer failed";
  close(stop[1]);
  for (pid_t r : readers)
    EXPECT_EQ(exit_status_of(r), 0)
        << "3: malformed line, 4: a read lost lines, 5: too few reads";

  lines final_list;
  (void)for_each_list_line(path.c_str(), 0, nullptr, collect_line, &final_list);
  std::multiset<std::string> got(final_list.begin(), final_list.end());
  ASSERT_EQ(final_list.size(), static_cast<size_t>(WRITERS * ENTRIES));
  for (int w = 0; w < WRITERS; ++w)
    for (int i = 0; i < ENTRIES; ++i)
      EXPECT_EQ(got.count(concurrent_entry(w, i)), 1u)
          << concurrent_entry(w, i);
  EXPECT_FALSE(exists(path + ".tmp"));
}

// --- write_list_file ------------------------------------------------------

// A string_list of borrowed texts, in the given order.
class names_list {
public:
  explicit names_list(std::vector<std::string> names)
      : names_(std::move(names)) {
    for (std::string &name : names_)
      string_list_append(&head_, name.data());
  }
  ~names_list() { string_list_clear(&head_); }
  string_list *get() const { return head_; }

private:
  std::vector<std::string> names_;
  string_list *head_ = nullptr;
};

TEST(WriteListFile, WritesEveryNameInListOrder) {
  ut::temp_dir dir;
  const std::string path = dir.write("toggles", "old\ncontent\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  names_list names({"zeta", "alpha", "zeta"});
  EXPECT_EQ(write_list_file(path.c_str(), names.get()), 0);
  EXPECT_EQ(ut::read_file(path), "zeta\nalpha\nzeta\n");
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_FALSE(exists(path + ".tmp"));

  EXPECT_EQ(write_list_file(path.c_str(), nullptr), 0);
  EXPECT_EQ(ut::read_file(path), "");
}

TEST(WriteListFile, ReplacesTheFileByARename) {
  ut::temp_dir dir;
  const std::string path = dir.write("toggles", "old\n");
  // A reader that opened the file before keeps the old content whole.
  std::FILE *reader = std::fopen(path.c_str(), "r");
  ASSERT_NE(reader, nullptr);
  names_list names({"new"});
  EXPECT_EQ(write_list_file(path.c_str(), names.get()), 0);
  char line[16] = "";
  EXPECT_NE(std::fgets(line, sizeof line, reader), nullptr);
  std::fclose(reader);
  EXPECT_STREQ(line, "old\n");
  EXPECT_EQ(ut::read_file(path), "new\n");
}

TEST(WriteListFile, AFileThatCannotBeOpenedGivesOne) {
  ut::temp_dir dir;
  names_list names({"a"});
  EXPECT_EQ(write_list_file(dir.file("missing/toggles").c_str(), names.get()),
            1);
  EXPECT_EQ(write_list_file(nullptr, names.get()), 1);
}

// --- Failed writes: a small tmpfs in a private mount namespace -------------

constexpr int NO_NAMESPACE = 77;

struct child_run {
  int status = -1;
  std::string out; // everything the child wrote on stdout
};

// Runs `body` in a child with its own mount namespace (mounts made there
// stay there), capturing its stdout; `prepare` mounts what the case needs
// and returns false when it cannot (status NO_NAMESPACE).
child_run in_private_mounts(const std::function<bool()> &prepare,
                            const std::function<int()> &body) {
  int out[2];
  if (pipe(out) != 0)
    return {};
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !prepare())
      _exit(NO_NAMESPACE);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  close(out[1]);
  child_run run;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0)
    run.out.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  run.status = exit_status_of(child);
  return run;
}

// A list of about 40 KB on a 64 KB tmpfs: its copy does not fit.
child_run on_a_full_disk(const ut::temp_dir &dir,
                         const std::function<int(const std::string &)> &body) {
  const std::string list = dir.file("list");
  return in_private_mounts(
      [&] {
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0)
          return false;
        std::FILE *file = std::fopen(list.c_str(), "w");
        for (int i = 0; file && i < 4000; ++i)
          std::fprintf(file, "line%05d\n", i);
        return file && std::fclose(file) == 0;
      },
      [&] { return body(list); });
}

TEST(FailedWrite, AbandonsTheUpdateAndRemovesTheTempFile) {
  ut::temp_dir dir;
  child_run run = on_a_full_disk(dir, [](const std::string &list) {
    char errbuf[LIST_ERRBUF_SIZE] = "";
    const off_t before = [&] {
      struct stat s;
      return stat(list.c_str(), &s) == 0 ? s.st_size : -1;
    }();
    int rc = update_list_file(list.c_str(), "new", errbuf, add_list_writer);
    struct stat after;
    std::printf("rc=%d errbuf=%s size_kept=%d temp_left=%d\n", rc, errbuf,
                stat(list.c_str(), &after) == 0 && after.st_size == before,
                access((list + ".tmp").c_str(), F_OK) == 0);
    return 0;
  });
  if (run.status == NO_NAMESPACE)
    GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(run.out, "rc=-1 errbuf=Unable to write temp file: No space left "
                     "on device size_kept=1 temp_left=0\n");
}

TEST(FailedWrite, WriteListFileKeepsTheOldFile) {
  ut::temp_dir dir;
  child_run run = on_a_full_disk(dir, [](const std::string &list) {
    std::vector<std::string> many(4000, "a-name-of-some-length");
    names_list names(many);
    int rc = write_list_file(list.c_str(), names.get());
    std::string kept = ut::read_file(list);
    std::printf("rc=%d kept=%d temp_left=%d\n", rc,
                kept.size() == 40000 && kept.rfind("line00000\n", 0) == 0,
                access((list + ".tmp").c_str(), F_OK) == 0);
    return 0;
  });
  if (run.status == NO_NAMESPACE)
    GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(run.out, "rc=1 kept=1 temp_left=0\n");
}

// --- The operations on the fixed paths: a private /etc/corvane -------------

// Every log line becomes "{priority:text}" on stdout, so that one transcript
// shows the order of log lines and printed lines.
void transcript_logger(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("{%d:", priority);
  std::vprintf(format, args);
  std::printf("}\n");
  va_end(args);
}

engine_handle logging_handle() {
  engine_handle handle{};
  handle.logger = transcript_logger;
  return handle;
}

// Runs `body` with an empty tmpfs over /etc/corvane (over /etc when the
// host has no /etc/corvane), holding an empty control folder.
child_run in_private_etc(const std::function<int()> &body) {
  return in_private_mounts(
      [] {
        struct stat status;
        const bool has_dir = stat("/etc/corvane", &status) == 0;
        return mount("tmpfs", has_dir ? "/etc/corvane" : "/etc", "tmpfs", 0,
                     "mode=0755") == 0 &&
               (has_dir || mkdir("/etc/corvane", 0755) == 0) &&
               mkdir("/etc/corvane/control", 0755) == 0;
      },
      body);
}

#define SKIP_WITHOUT_NAMESPACE(run)                                            \
  if ((run).status == NO_NAMESPACE)                                            \
  GTEST_SKIP() << "no private mount namespace"

TEST(AddEntry, AddsAndRefusesWithLoggedAndPrintedReasons) {
  child_run run = in_private_etc([] {
    const engine_handle handle = logging_handle();
    std::printf("rc=%d\n", add_entry(BLOCKED_IPS, "192.0.2.1", handle));
    std::printf("rc=%d\n", add_entry(BLOCKED_IPS, "192.0.2.1", handle));
    std::printf("file=%s", ut::read_file("/etc/corvane/blocked_ips").c_str());
    return 0;
  });
  SKIP_WITHOUT_NAMESPACE(run);
  EXPECT_EQ(run.out, "rc=0\n"
                     "{3:add_entry() ERROR: Entry already exists.\n}\n"
                     "add_entry() ERROR: Entry already exists.\n"
                     "rc=1\n"
                     "file=192.0.2.1\n");
}

TEST(AddEntry, LockHeldElsewhereGivesOneAfterAboutThreeSeconds) {
  child_run run = in_private_etc([] {
    lock_holder lock("/etc/corvane/blocked_from");
    if (!lock.locked())
      return 2;
    // The lock belongs to this open file; the update's own open is another.
    const auto start = std::chrono::steady_clock::now();
    int rc = add_entry(BLOCKED_FROM, "*@spam.example", logging_handle());
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("rc=%d about_three_seconds=%d\n", rc,
                took >= 2900ms && took <= 6000ms);
    return 0;
  });
  SKIP_WITHOUT_NAMESPACE(run);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{3:add_entry() ERROR: Failed to update list: Could not acquire "
            "lock.\n}\n"
            "add_entry() ERROR: Failed to update list: Could not acquire "
            "lock.\n"
            "rc=1 about_three_seconds=1\n");
}

TEST(DelEntry, DeletesAndReportsAnAbsentEntry) {
  child_run run = in_private_etc([] {
    const engine_handle handle = logging_handle();
    (void)add_entry(EXEMPT_USERS, "postmaster@example.org", handle);
    std::printf("rc=%d\n",
                del_entry(EXEMPT_USERS, "POSTMASTER@example.org", handle));
    std::printf("rc=%d\n",
                del_entry(EXEMPT_USERS, "postmaster@example.org", handle));
    std::printf("file=[%s]\n",
                ut::read_file("/etc/corvane/exempt_users").c_str());
    return 0;
  });
  SKIP_WITHOUT_NAMESPACE(run);
  EXPECT_EQ(run.out, "rc=0\n"
                     "{3:del_entry() ERROR: Entry not found. "
                     "(postmaster@example.org)\n}\n"
                     "del_entry() ERROR: Entry not found. "
                     "(postmaster@example.org)\n"
                     "rc=1\n"
                     "file=[]\n");
}

TEST(ListAdmin, UnknownIdsAreWarnedAbout) {
  child_run run = in_private_etc([] {
    const engine_handle handle = logging_handle();
    std::printf("rc=%d\n", add_entry(6, "a", handle));
    std::printf("rc=%d\n", del_entry(6, "a", handle));
    std::printf("rc=%d\n", clear_exemption_list(0, handle));
    std::printf("rc=%d\n",
                iterate_exemption_list(-1, collect_line, nullptr, handle));
    std::printf("rc=%d\n", populate_list(1, nullptr, handle));
    std::printf("rc=%d\n", clear_ipr_lists(2, handle));
    // Without a logger nothing is logged.
    std::printf("rc=%d\n", del_entry(9, "a", engine_handle{}));
    return 0;
  });
  SKIP_WITHOUT_NAMESPACE(run);
  EXPECT_EQ(run.out,
            "Warning: add_entry() called with unknown list id [6]\n"
            "{4:Warning: add_entry() called with unknown list id [6]}\n"
            "rc=-1\n"
            "{4:Warning: del_entry() called with unknown list id [6]}\n"
            "rc=-1\n"
            "{4:Warning: clear_exemption_list() called with unknown list id "
            "[0]}\n"
            "rc=-1\n"
            "{4:Warning: iterate_exemption_list() called with unknown list "
            "id [-1]}\n"
            "rc=-1\n"
            "{4:Warning: populate_list() called with unknown list id [1]}\n"
            "rc=-1\n"
            "{4:Warning: clear_ipr_lists() called with unknown list id [2]}\n"
            "rc=-1\n"
            "rc=-1\n");
}

int print_line(const char *line, void *) {
  std::printf("line=[%s]\n", line);
  return 0;
}

TEST(ListAdmin, IterateAndClearAList) {
  child_run run = in_private_etc([] {
    const engine_handle handle = logging_handle();
    std::printf(
        "missing rc=%d\n",
        iterate_exemption_list(FROM_WHITELIST, print_line, nullptr, handle));
    std::FILE *file = std::fopen("/etc/corvane/from_whitelist", "w");
    std::fputs("a@example.com\n\n*@example.org\n", file);
    std::fclose(file);
    std::printf("rc=%d\n", iterate_exemption_list(FROM_WHITELIST, print_line,
                                                  nullptr, handle));
    std::printf("clear rc=%d\n", clear_exemption_list(FROM_WHITELIST, handle));
    std::printf("gone=%d\n", access("/etc/corvane/from_whitelist", F_OK) != 0);
    std::printf("clear again rc=%d\n",
                clear_exemption_list(FROM_WHITELIST, handle));
    // A folder where the list should be is no list.
    mkdir("/etc/corvane/from_whitelist", 0755);
    std::printf(
        "folder rc=%d\n",
        iterate_exemption_list(FROM_WHITELIST, print_line, nullptr, handle));
    return 0;
  });
  SKIP_WITHOUT_NAMESPACE(run);
  EXPECT_EQ(run.out, "missing rc=0\n"
                     "line=[a@example.com]\n"
                     "line=[]\n"
                     "line=[*@example.org]\n"
                     "rc=0\n"
                     "clear rc=0\n"
                     "gone=1\n"
                     "clear again rc=0\n"
                     "folder rc=0\n");
}

void print_names(const char *label, string_list *names) {
  std::printf("%s:", label);
  for (const string_list *n = names; n; n = n->next)
    std::printf(" %s", n->value);
  std::printf("\n");
  string_list_free(&names);
}

TEST(ListAdmin, ToggleFilesAreWrittenWhereTheReadersLook) {
  child_run run = in_private_etc([] {
    const engine_handle handle = logging_handle();
    names_list names({"valid_helo_domain", "known_sender_forgery"});
    std::printf("rc=%d %d %d\n", write_enabled_rules(names.get()),
                write_disabled_rules(names.get()),
                populate_list(0, names.get(), handle));
    print_names("enabled", read_enabled_rules());
    print_names("disabled", read_disabled_rules());
    print_names("ipr", read_ipr_lists(0));
    std::printf("file=%s",
                ut::read_file("/etc/corvane/control/rules.enabled").c_str());
    std::printf("rc=%d %d %d\n", clear_enabled_rules(), clear_disabled_rules(),
                clear_ipr_lists(0, handle));
    print_names("enabled", read_enabled_rules());
    print_names("disabled", read_disabled_rules());
    print_names("ipr", read_ipr_lists(0));
    return 0;
  });
  SKIP_WITHOUT_NAMESPACE(run);
  EXPECT_EQ(run.out, "rc=0 0 0\n"
                     "enabled: known_sender_forgery valid_helo_domain\n"
                     "disabled: known_sender_forgery valid_helo_domain\n"
                     "ipr: known_sender_forgery valid_helo_domain\n"
                     "file=valid_helo_domain\nknown_sender_forgery\n"
                     "rc=0 0 0\n"
                     "enabled:\n"
                     "disabled:\n"
                     "ipr:\n");
}

TEST(WildcardPattern, IsThePatternTheMatcherUses) {
  struct {
    const char *entry, *value;
  } cases[] = {{"*@example.com", "user@exampleXcom"},
               {"*@example.com", "user@example.org"},
               {"a*c", "ABBBC"},
               {"[0-9]*@x", "7@x"},
               {"[0-9]*@x", "y@x"}};
  for (const auto &c : cases) {
    regex_t re;
    ASSERT_EQ(
        regcomp(&re, wildcard_pattern(c.entry).c_str(), WILDCARD_REGEX_FLAGS),
        0);
    EXPECT_EQ(regexec(&re, c.value, 0, nullptr, 0) == 0,
              wildcard_match(c.entry, c.value) == 1)
        << c.entry << " / " << c.value;
    regfree(&re);
  }
  EXPECT_EQ(wildcard_pattern("*.example.*"), "^.*.example..*");
}

} // namespace
