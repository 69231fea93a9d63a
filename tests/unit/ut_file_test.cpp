// ut_file: opening with the lock, block reads and writes, the non-blocking
// read, whole-file reading at its limits, file kinds, copying, formatted
// writes and line reading.
#include "util/ut_file.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using strings = std::vector<std::string>;

std::string error_line(const char *function, int error) {
  return std::string("3 ut_file.cpp:# ERROR ") + function +
         "(): " + std::strerror(error);
}

class UtFile : public ::testing::Test {
protected:
  ut::temp_dir dir;
  ut::library_reports reports;
  std::deque<std::string> paths;
  // The path of a file in the scratch directory, kept for the test.
  const char *at(const char *name) {
    return paths.emplace_back(dir.file(name)).c_str();
  }
};

TEST_F(UtFile, OpenCreatesUnderTheUmaskAndLocksOnlyWritableFiles) {
  EXPECT_EQ(ut_open(at("missing"), false, O_RDONLY), -1);
  const mode_t saved = umask(002);
  int fd = ut_open(at("new"), true, O_WRONLY | O_CREAT);
  EXPECT_EQ(ut_copyfile(at("copy"), at("new")), 1);
  umask(saved);
  struct stat made, copied;
  ASSERT_EQ(stat(at("new"), &made) | stat(at("copy"), &copied), 0);
  EXPECT_EQ(made.st_mode & 07777, 0664u);
  EXPECT_EQ(copied.st_mode & 07777, 0664u);
  EXPECT_EQ(ut_open(at("new"), true, O_RDONLY), -1);
  EXPECT_EQ(ut_close(fd), 1);
  EXPECT_EQ(ut_close(-1), 0);
  EXPECT_EQ(reports.lines(),
            (strings{error_line("ut_open", ENOENT),
                     "3 ut_file.cpp:# ERROR ut_open(): request for lock " +
                         std::string(std::strerror(EBADF)),
                     error_line("ut_close", EINVAL)}));
}

TEST_F(UtFile, ALockedOpenWaitsUntilTheHolderCloses) {
  const std::string path = dir.write("locked", "x");
  int fd = ut_open(path.c_str(), true, O_RDWR), answer[2];
  ASSERT_TRUE(fd >= 0 && pipe(answer) == 0);
  const pid_t child = fork();
  if (child == 0) {
    const char got = ut_open(path.c_str(), true, O_RDWR) >= 0 ? 'y' : 'n';
    _exit(write(answer[1], &got, 1) == 1 ? 0 : 1);
  }
  close(answer[1]);
  // The child waits once the kernel lists it as blocked on the lock; an
  // early answer means it did not wait.
  const std::string waiter =
      "-> POSIX  ADVISORY  WRITE " + std::to_string(child) + " ";
  struct pollfd early = {answer[0], POLLIN, 0};
  bool waiting = false;
  while (!waiting && poll(&early, 1, 0) == 0 && sched_yield() == 0)
    waiting = ut::read_file("/proc/locks").find(waiter) != std::string::npos;
  EXPECT_TRUE(waiting);
  EXPECT_EQ(ut_close(fd), 1);
  char got = '?';
  EXPECT_EQ(read(answer[0], &got, 1), 1);
  EXPECT_EQ(got, 'y');
  close(answer[0]);
  waitpid(child, nullptr, 0);
}

TEST_F(UtFile, WritesGoInBlocksAndReadsStopAtTheEnd) {
  setenv("VERBOSEDEBUG", "1", 1);
  int fd = ut_open(at("blocks"), false, O_RDWR | O_CREAT);
  const std::string bytes(10000, 'w');
  EXPECT_EQ(ut_write(fd, bytes.data(), bytes.size()), 1);
  strings writes;
  for (const std::string &line : reports.lines())
    if (line.find("(): Attempting to write") != std::string::npos)
      writes.push_back(line.substr(line.rfind(' ', line.size() - 7) + 1));
  EXPECT_EQ(writes, (strings{"4096 bytes", "4096 bytes", "1808 bytes"}));
  EXPECT_EQ(ut::read_file(at("blocks")), bytes);
  EXPECT_EQ(ut_seek(fd, 4, SEEK_SET), 1);
  EXPECT_EQ(ut_filesize(fd), 10000); // and the position stays
  EXPECT_EQ(ut_tell(fd), 4);
  EXPECT_EQ(ut_truncate(fd), 1);
  EXPECT_EQ(ut_filesize(fd), 4);
  EXPECT_EQ(ut_seek(fd, -1, SEEK_SET), 0);
  EXPECT_EQ(ut_tell(-1), -1);
  char buffer[11] = {};
  EXPECT_EQ(ut_seek(fd, 0, SEEK_SET) + ut_read(fd, buffer, 10), 2);
  EXPECT_STREQ(buffer, "wwww");
  EXPECT_EQ(ut_read(fd, buffer, -1), 1);
  EXPECT_EQ(ut_read(fd, buffer, 0), 0);
  ut_close(fd);
}

TEST_F(UtFile, NonBlockingReadTimesOutOnASilentPipe) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  char buffer[5000] = {};
  unsigned char timed_out = 0;
  uint32_t count = 77;
  EXPECT_EQ(ut_read_nonblock(p[0], buffer, 8, 1000, &timed_out, &count), 0);
  EXPECT_EQ(timed_out + count, 1u + 77u); // the count is left alone
  const std::string bytes(5000, 'p');
  ASSERT_EQ(write(p[1], bytes.data(), bytes.size()), 5000);
  EXPECT_EQ(ut_read_nonblock(p[0], buffer, 5000, 10000, nullptr, &count), 1);
  EXPECT_EQ(std::string(buffer, 5000) + std::to_string(count), bytes + "5000");
  // select(2) cannot watch a descriptor from FD_SETSIZE on
  EXPECT_EQ(ut_read_nonblock(FD_SETSIZE, buffer, 8, 1, &timed_out, &count), 0);
  EXPECT_EQ(ut_read_nonblock(p[0], buffer, -1, 1000, &timed_out, &count), 1);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(reports.lines(), (strings{error_line("ut_read_nonblock", EINVAL)}));
  close(p[0]);
  close(p[1]);
}

TEST_F(UtFile, WholeFileReadingRefusesEmptyMissingOddAndTooLargeFiles) {
  using namespace std::string_literals;
  dir.write("three", "a\0c"s);
  dir.write("empty", "");
  ASSERT_EQ(
      mkfifo(at("fifo"), 0600) | chmod(dir.write("secret", "s").c_str(), 0600) |
          truncate(dir.write("limit", "").c_str(), UT_FILE_CONTENTS_MAX) |
          truncate(dir.write("over", "").c_str(), UT_FILE_CONTENTS_MAX + 1),
      0);
  const struct {
    const char *file;
    std::string contents; // the leading bytes; "" for none
    strings reports;
  } cases[] = {
      {"three", "a\0c\0"s, {}},
      {"limit", "\0\0"s, {}},
      {"empty", "", {error_line("ut_read", EINVAL)}},
      {"missing", "", {error_line("ut_open", ENOENT)}},
      {"fifo", "", {error_line("ut_filesize", ESPIPE)}},
      {"over", "", {error_line("ut_file_get_contents", EFBIG)}},
      {"secret", "", {error_line("ut_open", EACCES)}}, // read as nobody
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    ut::log_lines.clear();
    const bool as_nobody = c.file == std::string("secret");
    if (as_nobody && seteuid(65534) != 0)
      continue;
    ut::c_text got(ut_file_get_contents(at(c.file)));
    ASSERT_TRUE(!as_nobody || seteuid(0) == 0);
    EXPECT_EQ(reports.lines(), c.reports);
    EXPECT_EQ(got ? std::string(got.get(), c.contents.size()) : "", c.contents);
  }
}

TEST_F(UtFile, KindsOfPathFollowLinks) {
  ASSERT_EQ(chmod(dir.write("tool", "#!/bin/sh\n").c_str(), 0755) |
                mkdir(at("dir"), 0700) | symlink(at("tool"), at("toollink")) |
                symlink(at("dir"), at("dirlink")) |
                symlink(at("gone"), at("dangling")),
            0);
  dir.write("file", "x");
  const struct {
    const char *path;
    int exists, executable, directory;
  } cases[] = {{"file", 1, 0, 0}, {"tool", 1, 1, 0},    {"toollink", 1, 1, 0},
               {"dir", 0, 0, 1},  {"dirlink", 0, 0, 1}, {"dangling", 0, 0, 0},
               {"gone", 0, 0, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ut_file_exists(at(c.path)), c.exists);
    EXPECT_EQ(ut_file_executable(at(c.path)), c.executable);
    EXPECT_EQ(ut_directory_exists(at(c.path)), c.directory);
  }
}

TEST_F(UtFile, CopyReplacesTheWholeDestination) {
  const std::string to = dir.write("to", "a much longer old content");
  EXPECT_EQ(ut_copyfile(to.c_str(), dir.write("from", "new").c_str()), 1);
  EXPECT_EQ(ut::read_file(to), "new");
  EXPECT_EQ(ut_copyfile(to.c_str(), at("none")), 0);
  EXPECT_EQ(ut::read_file(to), "new");
  EXPECT_EQ(reports.lines(), (strings{error_line("ut_open", ENOENT),
                                      error_line("ut_copyfile", ECANCELED)}));
}

TEST_F(UtFile, FormattedWritesFitInto1022Characters) {
  int fd = ut_open(at("printed"), false, O_WRONLY | O_CREAT);
  EXPECT_EQ(ut_fprintf(fd, "%s", std::string(1022, 'a').c_str()), 1);
  EXPECT_EQ(ut_fprintf(fd, "%s", std::string(1023, 'b').c_str()), 0);
  EXPECT_EQ(ut_fprintf(fd, "%s", ""), 0);
  ut_close(fd);
  EXPECT_EQ(ut::read_file(at("printed")), std::string(1022, 'a'));
  fd = ut_open("/dev/full", false, O_WRONLY);
  EXPECT_EQ(ut_fprintf(fd, "%d", 1), 0);
  ut_close(fd);
  EXPECT_EQ(reports.lines(), (strings{error_line("ut_fprintf", E2BIG),
                                      error_line("ut_write", EINVAL),
                                      error_line("ut_write", ENOSPC)}));
}

TEST_F(UtFile, ReadlineGivesOneLineAtATime) {
  int fd = ut_open(dir.write("lines", "one\r\n\ntwo").c_str(), false, O_RDONLY);
  strings lines;
  char buffer[100] = {};
  while (lines.size() < 5 && ut_readline(fd, buffer, sizeof buffer - 1)) {
    lines.emplace_back(buffer);
    std::memset(buffer, 0, sizeof buffer);
  }
  ut_close(fd);
  EXPECT_EQ(lines, (strings{"one", "", "two"}));
}

} // namespace
