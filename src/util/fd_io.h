// fd_io: silent file-descriptor helpers for the counter and map files.
//
// None of them reports anything; a descriptor of -1 stands for "no file".
//
//   open_locked(path, lock, flags)  open_regular() of any size; with `lock`, an
//                                   exclusive fcntl write lock over the whole
//                                   file, waiting as long as it takes.
//                                   -1 for no path, a failed open or lock.
//   fd_close(fd)                    true for -1, else whether close worked.
//   fd_write_all / fd_read_all      true when one call moved all n bytes;
//                                   false for n 0, no buffer or fd -1.
//   read_whole_file(path)           the whole file (as large as its open's
//                                   fstat says: one read, no seeks) in a
//                                   zeroed heap buffer one byte longer than
//                                   the file (free()),
//                                   or null when open or allocation fails
//                                   or the file is not a regular one of at
//                                   most WHOLE_FILE_MAX bytes.
//   open_regular(path, flags, max)  open(2) that cannot block (a FIFO, a
//                                   device), then the file must be a regular
//                                   one (links are followed) of at most `max`
//                                   bytes (0: any size); -1 otherwise, with
//                                   errno EINVAL for a file of another kind
//                                   and EFBIG for one too large. With
//                                   `size`, the file's size at the open is
//                                   stored there (from the same fstat).
//   open_regular_stat(path, flags, max, st)
//                                   the same, with the file's whole fstat
//                                   stored in *st.
//   stat_regular(path, max, st)     stat(2) of a file that open_regular
//                                   would take (the same kinds and sizes,
//                                   the same errno otherwise): true with its
//                                   status in *st. For a file opened only
//                                   when it must be read.
//   identity_of(st)                 what tells a file and its state apart:
//                                   device, inode, size, mtime and ctime
//                                   (which no program can set), comparable
//                                   with == and kept in cache files as is.
//   same_file_unchanged(a, b)       whether two statuses are of one file
//                                   left as it was: the same identity.
//   replace_file(path, bytes, n)   writes a file of the n bytes through a
//                                   temporary file of this process's own
//                                   beside it and a rename, so that readers
//                                   see the old file or the whole new one;
//                                   false (nothing left behind) on failure.
//   file_settled(st)                whether the file was last written at
//                                   least SETTLED_SECONDS ago: only then can
//                                   its times stand for its content, since a
//                                   write within the same tick of the clock
//                                   as a read may leave them as they were.
//   fd_window(fd).get(offset, n)    n bytes of the file at offset, read a
//                                   block at a time (pieces near each other
//                                   cost one pread); null when they cannot
//                                   all be read or n exceeds a block.
//
// Every file that an SMTP command's run opens goes through open_regular:
// an admin's mistake (a FIFO or /dev/zero in place of a list) must make the
// file unreadable, never stall or spin the mail server's plug-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

// Bounds far above any real file of their kind.
constexpr int64_t LIST_FILE_MAX = int64_t{16} << 20;   // list, pattern files
constexpr int64_t WHOLE_FILE_MAX = int64_t{100} << 20; // read_whole_file
constexpr time_t SETTLED_SECONDS = 2;

int open_locked(const char *path, bool lock, int flags);
bool fd_close(int fd);
bool fd_write_all(int fd, const void *buffer, size_t n);
bool fd_read_all(int fd, void *buffer, size_t n);
char *read_whole_file(const char *path);
int open_regular(const char *path, int flags, int64_t max,
                 int64_t *size = nullptr);
int open_regular_stat(const char *path, int flags, int64_t max,
                      struct stat *st);
bool stat_regular(const char *path, int64_t max, struct stat *st);
struct file_identity {
  uint64_t device, inode;
  int64_t size, mtime_s, ctime_s;
  uint32_t mtime_ns, ctime_ns;
  bool operator==(const file_identity &) const = default;
};
static_assert(sizeof(file_identity) == 48);

file_identity identity_of(const struct stat &st);
bool same_file_unchanged(const struct stat &a, const struct stat &b);
bool replace_file(const char *path, const void *bytes, size_t n);
bool file_settled(const struct stat &st);

class fd_window {
public:
  static constexpr size_t BLOCK = 4096;
  explicit fd_window(int fd = -1) : fd_(fd) {}
  void reset(int fd) {
    fd_ = fd;
    size_ = 0;
  }
  const char *get(size_t offset, size_t n);

private:
  int fd_;
  size_t offset_ = 0, size_ = 0;
  char block_[BLOCK];
};
