#include "util/fd_io.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `check` in a forked child and gives its exit status (-1 if it did not
// exit normally).
template <typename F> int in_child(F check) {
  pid_t child = fork();
  if (child == 0)
    _exit(check());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// What another process sees when it asks for a write lock on the whole file.
int probe_lock_type(const std::string &path, pid_t expected_holder) {
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0)
    return 100;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &probe) != 0)
    return 101;
  if (probe.l_type == F_UNLCK)
    return 0;
  return probe.l_type == F_WRLCK && probe.l_pid == expected_holder &&
                 probe.l_start == 0 && probe.l_len == 0
             ? 1
             : 102;
}

TEST(OpenLocked, WithLockHoldsAWholeFileWriteLock) {
  ut::temp_dir dir;
  const std::string path = dir.write("locked", "data");
  int fd = open_locked(path.c_str(), true, O_RDWR);
  ASSERT_GE(fd, 0);
  const pid_t self = getpid();
  EXPECT_EQ(in_child([&] { return probe_lock_type(path, self); }), 1);
  EXPECT_TRUE(fd_close(fd));
}

TEST(OpenLocked, WithoutLockTakesNoLock) {
  ut::temp_dir dir;
  const std::string path = dir.write("plain", "data");
  int fd = open_locked(path.c_str(), false, O_RDWR);
  ASSERT_GE(fd, 0);
  const pid_t self = getpid();
  EXPECT_EQ(in_child([&] { return probe_lock_type(path, self); }), 0);
  EXPECT_TRUE(fd_close(fd));
}

TEST(OpenLocked, CreatesWithMode0666BeforeUmask) {
  ut::temp_dir dir;
  const std::string path = dir.file("created");
  const mode_t old_mask = umask(0);
  int fd = open_locked(path.c_str(), true, O_RDWR | O_CREAT);
  umask(old_mask);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_TRUE(fd_close(fd));
}

TEST(OpenLocked, NoPathOrFailedOpenGivesMinusOne) {
  ut::temp_dir dir;
  EXPECT_EQ(open_locked(nullptr, false, O_RDONLY), -1);
  EXPECT_EQ(open_locked(dir.file("absent").c_str(), false, O_RDONLY), -1);
  EXPECT_EQ(open_locked(dir.file("absent").c_str(), true, O_RDWR), -1);
}

TEST(OpenLocked, WaitsForAnotherProcessToReleaseTheLock) {
  ut::temp_dir dir;
  const std::string path = dir.write("contended", "data");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    int fd = open_locked(path.c_str(), true, O_RDWR);
    char byte = fd >= 0 ? 'L' : 'F';
    (void)!write(ready[1], &byte, 1);
    usleep(300 * 1000);
    _exit(0); // the lock goes with the process
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(byte, 'L') << "the child could not take the lock";

  const auto start = std::chrono::steady_clock::now();
  int fd = open_locked(path.c_str(), true, O_RDWR);
  const auto waited = std::chrono::steady_clock::now() - start;
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GE(fd, 0);
  EXPECT_GE(
      std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(),
      200);
  EXPECT_TRUE(fd_close(fd));
}

TEST(FdClose, MinusOneIsTrueAndAClosedDescriptorIsFalse) {
  EXPECT_TRUE(fd_close(-1));
  ut::temp_dir dir;
  int fd = open(dir.write("f", "x").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fd_close(fd));
  EXPECT_FALSE(fd_close(fd));
}

class FdBytes : public ::testing::Test {
protected:
  void SetUp() override {
    path = dir.file("bytes");
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { close(fd); }

  ut::temp_dir dir;
  std::string path;
  int fd = -1;
};

TEST_F(FdBytes, WriteAndReadMoveAllBytes) {
  ASSERT_TRUE(fd_write_all(fd, "hello", 5));
  ASSERT_TRUE(fd_seek(fd, 1, SEEK_SET));
  char got[5] = {};
  ASSERT_TRUE(fd_read_all(fd, got, 4));
  EXPECT_EQ(std::string(got, 4), "ello");
  EXPECT_EQ(ut::read_file(path), "hello");
}

TEST_F(FdBytes, ShortReadIsFalse) {
  ASSERT_TRUE(fd_write_all(fd, "abc", 3));
  ASSERT_TRUE(fd_seek(fd, 0, SEEK_SET));
  char got[8];
  EXPECT_FALSE(fd_read_all(fd, got, sizeof got));
}

TEST_F(FdBytes, NothingToMoveIsFalse) {
  char buffer[4] = {};
  EXPECT_FALSE(fd_write_all(fd, "abc", 0));
  EXPECT_FALSE(fd_write_all(fd, nullptr, 3));
  EXPECT_FALSE(fd_write_all(-1, "abc", 3));
  EXPECT_FALSE(fd_read_all(fd, buffer, 0));
  EXPECT_FALSE(fd_read_all(fd, nullptr, 3));
  EXPECT_FALSE(fd_read_all(-1, buffer, 3));
  EXPECT_EQ(ut::read_file(path), "");
}

TEST_F(FdBytes, SizeIsTheEndOffsetAndLeavesTheDescriptorThere) {
  EXPECT_EQ(fd_size(fd), 0);
  ASSERT_TRUE(fd_write_all(fd, "0123456789", 10));
  ASSERT_TRUE(fd_seek(fd, 2, SEEK_SET));
  EXPECT_EQ(fd_size(fd), 10);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 10);
  EXPECT_EQ(fd_size(-1), 0);
}

TEST_F(FdBytes, TruncateHereCutsAtTheCurrentOffset) {
  ASSERT_TRUE(fd_write_all(fd, "0123456789", 10));
  ASSERT_TRUE(fd_seek(fd, 4, SEEK_SET));
  EXPECT_TRUE(fd_truncate_here(fd));
  EXPECT_EQ(ut::read_file(path), "0123");
  EXPECT_FALSE(fd_truncate_here(-1));
  EXPECT_FALSE(fd_seek(-1, 0, SEEK_SET));
  EXPECT_FALSE(fd_seek(fd, -1, SEEK_SET));
}

TEST(ReadWholeFile, ContentsFollowedByNul) {
  ut::temp_dir dir;
  const std::string bytes("ab\0cd\n", 6);
  ut::c_text got(read_whole_file(dir.write("whole", bytes).c_str()));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::string(got.get(), 6), bytes);
  EXPECT_EQ(got.get()[6], '\0');
}

TEST(ReadWholeFile, EmptyFileGivesEmptyText) {
  ut::temp_dir dir;
  ut::c_text got(read_whole_file(dir.write("empty", "").c_str()));
  ASSERT_NE(got, nullptr);
  EXPECT_STREQ(got.get(), "");
}

TEST(ReadWholeFile, MissingFileGivesNull) {
  ut::temp_dir dir;
  EXPECT_EQ(read_whole_file(dir.file("absent").c_str()), nullptr);
  EXPECT_EQ(read_whole_file(nullptr), nullptr);
}

} // namespace
