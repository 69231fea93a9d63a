#include "util/fd_io.h"

#include "util/raii.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_regular(const char *path, int flags, int64_t max, int64_t *size) {
  struct stat st;
  const int fd = open_regular_stat(path, flags, max, &st);
  if (fd >= 0 && size)
    *size = st.st_size;
  return fd;
}

namespace {

// Whether the file of `st` is a regular one of at most `max` bytes (0: any
// size); else errno tells why not.
bool regular_within(const struct stat &st, int64_t max) {
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (max > 0 && st.st_size > max) {
    errno = EFBIG;
    return false;
  }
  return true;
}

} // namespace

int open_regular_stat(const char *path, int flags, int64_t max,
                      struct stat *st) {
  if (!path || !st)
    return -1;
  // O_NONBLOCK keeps open(2) of a FIFO from waiting for a writer; on a
  // regular file it changes nothing.
  unique_fd fd(open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666));
  if (!fd.valid())
    return -1;
  if (fstat(fd.get(), st) != 0 || !regular_within(*st, max))
    return -1;
  return fd.release();
}

bool stat_regular(const char *path, int64_t max, struct stat *st) {
  return path && st && stat(path, st) == 0 && regular_within(*st, max);
}

file_identity identity_of(const struct stat &st) {
  return {static_cast<uint64_t>(st.st_dev),
          static_cast<uint64_t>(st.st_ino),
          static_cast<int64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec),
          static_cast<int64_t>(st.st_ctim.tv_sec),
          static_cast<uint32_t>(st.st_mtim.tv_nsec),
          static_cast<uint32_t>(st.st_ctim.tv_nsec)};
}

bool same_file_unchanged(const struct stat &a, const struct stat &b) {
  return identity_of(a) == identity_of(b);
}

int open_locked(const char *path, bool lock, int flags) {
  if (!path)
    return -1;
  unique_fd fd(open_regular(path, flags, 0));
  if (!fd.valid())
    return -1;
  if (lock) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0; // l_pid is only an answer of F_GETLK
    if (fcntl(fd.get(), F_SETLKW, &whole) == -1)
      return -1;
  }
  return fd.release();
}

bool fd_close(int fd) { return fd == -1 || close(fd) == 0; }

bool fd_write_all(int fd, const void *buffer, size_t n) {
  if (n == 0 || !buffer || fd == -1)
    return false;
  return write(fd, buffer, n) == static_cast<ssize_t>(n);
}

bool fd_read_all(int fd, void *buffer, size_t n) {
  if (n == 0 || !buffer || fd == -1)
    return false;
  return read(fd, buffer, n) == static_cast<ssize_t>(n);
}

char *read_whole_file(const char *path) {
  int64_t size = 0;
  unique_fd fd(open_regular(path, O_RDONLY, WHOLE_FILE_MAX, &size));
  if (!fd.valid())
    return nullptr;
  heap_text buffer(static_cast<char *>(std::calloc(size + 1, 1)));
  if (!buffer)
    return nullptr;
  if (size > 0)
    (void)fd_read_all(fd.get(), buffer.get(), static_cast<size_t>(size));
  return buffer.release();
}

bool replace_file(const char *path, const void *bytes, size_t n) {
  if (!path)
    return false;
  // A name of this process's own, so that runs at once do not mix their
  // writes; the rename makes the whole file appear at once.
  char temporary[4096];
  const int length = std::snprintf(temporary, sizeof temporary, "%s.%d", path,
                                   static_cast<int>(getpid()));
  if (length < 0 || static_cast<size_t>(length) >= sizeof temporary)
    return false;
  (void)unlink(temporary);
  unique_fd fd(open(
      temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid())
    return false;
  const bool written = fd_write_all(fd.get(), bytes, n) &&
                       fd_close(fd.release()) && rename(temporary, path) == 0;
  if (!written)
    (void)unlink(temporary);
  return written;
}

bool file_settled(const struct stat &st) {
  struct timespec now;
  return clock_gettime(CLOCK_REALTIME, &now) == 0 &&
         now.tv_sec - st.st_mtim.tv_sec >= SETTLED_SECONDS;
}

const char *fd_window::get(size_t offset, size_t n) {
  if (n > BLOCK || fd_ < 0)
    return nullptr;
  if (offset < offset_ || offset + n > offset_ + size_) {
    ssize_t got;
    do
      got = pread(fd_, block_, BLOCK, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    offset_ = offset;
    size_ = got < 0 ? 0 : static_cast<size_t>(got);
    if (n > size_)
      return nullptr;
  }
  return block_ + (offset - offset_);
}
