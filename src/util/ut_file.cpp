#include "util/ut_file.h"

#include "util/raii.h"
#include "util/ut_log.h"
#include "util/ut_stringutils.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t BLOCK = 4096;
constexpr size_t FORMAT_AREA = 1024;
constexpr int32_t POSITION_MAX = INT32_MAX;

int64_t chunk_of(int64_t remaining) {
  return remaining < BLOCK ? remaining : BLOCK;
}

// Reads as ut_read does; `wait` (may be null) runs before each read and
// says whether to go on. The bytes read are added to *total.
template <typename Wait>
int read_blocks(int fd, char *buffer, int64_t count, Wait wait,
                int64_t *total) {
  for (int64_t remaining = count; remaining > 0;) {
    UT_DEBUG("%d bytes remaining to read", static_cast<int>(remaining));
    const int64_t chunk = chunk_of(remaining);
    UT_DEBUG("attempting to read %d bytes in one block",
             static_cast<int>(chunk));
    if (!wait())
      return 0;
    const ssize_t got = ::read(fd, buffer, static_cast<size_t>(chunk));
    if (got < 0) {
      UT_ERRNO(errno);
      return 0;
    }
    UT_DEBUG("read %d bytes", static_cast<int>(got));
    *total += got;
    if (got < chunk)
      break;
    buffer += got;
    remaining -= got;
  }
  return 1;
}

} // namespace

int ut_open(const char *path, bool lock, int flags) {
  if (!path) {
    UT_ERRNO(EINVAL);
    return -1;
  }
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  whole.l_start = 0;
  whole.l_len = 0;
  whole.l_pid = getpid();
  UT_DEBUG("POSIX mode");
  const int fd = ::open(path, flags, 0666);
  if (fd < 0) {
    UT_ERRNO(errno);
    return -1;
  }
  if (lock) {
    UT_DEBUG("request for lock");
    if (fcntl(fd, F_SETLKW, &whole) != 0) {
      const int error = errno;
      ::close(fd);
      UT_ERROR("request for lock %s", std::strerror(error));
      return -1;
    }
  }
  return fd;
}

int ut_close(int fd) {
  if (fd == -1) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  if (::close(fd) != 0) {
    UT_ERRNO(errno);
    return 0;
  }
  return 1;
}

int ut_write(int fd, const void *buffer, uint64_t count) {
  if (!buffer || fd == -1 || count == 0) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  const char *at = static_cast<const char *>(buffer);
  for (uint64_t left = count; left > 0;) {
    UT_DEBUG("%d bytes left to write", static_cast<int>(left));
    const size_t chunk = left < BLOCK ? left : BLOCK;
    UT_DEBUG("Attempting to write %d bytes", static_cast<int>(chunk));
    const ssize_t wrote = ::write(fd, at, chunk);
    if (wrote < 0) {
      UT_ERRNO(errno);
      return 0;
    }
    UT_DEBUG("wrote %d bytes", static_cast<int>(wrote));
    at += wrote;
    left -= static_cast<uint64_t>(wrote);
  }
  return 1;
}

int ut_read(int fd, void *buffer, int64_t count) {
  if (!buffer || fd == -1 || count == 0) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  int64_t total = 0;
  return read_blocks(
      fd, static_cast<char *>(buffer), count, [] { return true; }, &total);
}

int ut_read_nonblock(int fd, void *buffer, int64_t count, uint64_t timeout_us,
                     unsigned char *timed_out, uint32_t *bytes_read) {
  // FD_SET cannot hold a descriptor outside 0..FD_SETSIZE-1.
  if (!buffer || fd < 0 || fd >= FD_SETSIZE || timeout_us == 0 || count == 0) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  // Armed once: select leaves the unspent time in it, so the timeout bounds
  // the waiting of the whole call.
  struct timeval left = {};
  left.tv_sec = static_cast<time_t>(timeout_us / 1000000);
  left.tv_usec = static_cast<suseconds_t>(timeout_us % 1000000);
  if (count < 0) {
    if (bytes_read)
      *bytes_read = 0;
    return 1;
  }
  auto ready = [&] {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    const int ready = select(fd + 1, &readable, nullptr, nullptr, &left);
    if (ready > 0)
      return true;
    if (ready < 0) {
      UT_ERRNO(errno);
      return false;
    }
    UT_DEBUG("no data ready to read within %lu microseconds",
             static_cast<unsigned long>(timeout_us));
    if (timed_out)
      *timed_out = 1;
    return false;
  };
  int64_t total = 0;
  if (!read_blocks(fd, static_cast<char *>(buffer), count, ready, &total))
    return 0;
  if (bytes_read)
    *bytes_read = static_cast<uint32_t>(total);
  return 1;
}

int ut_seek(int fd, int32_t offset, int origin) {
  if (fd == -1) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  if (lseek(fd, offset, origin) < 0) {
    UT_ERRNO(errno);
    return 0;
  }
  UT_DEBUG("successfully sought %d from offset %d", offset, origin);
  return 1;
}

int32_t ut_filesize(int fd) {
  if (fd == -1) {
    UT_ERRNO(EINVAL);
    return -1;
  }
  const off_t here = lseek(fd, 0, SEEK_CUR);
  const off_t end = here < 0 ? -1 : lseek(fd, 0, SEEK_END);
  if (end < 0 || lseek(fd, here, SEEK_SET) < 0) {
    UT_ERRNO(errno);
    return -1;
  }
  if (end > POSITION_MAX) {
    UT_ERRNO(EFBIG);
    return -1;
  }
  return static_cast<int32_t>(end);
}

int ut_truncate(int fd) {
  if (fd == -1) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  const off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0 || ftruncate(fd, here) != 0) {
    UT_ERRNO(errno);
    return 0;
  }
  UT_DEBUG("file truncated");
  return 1;
}

int32_t ut_tell(int fd) {
  if (fd == -1) {
    UT_ERRNO(EINVAL);
    return -1;
  }
  const off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0 || here > POSITION_MAX) {
    UT_ERRNO(here < 0 ? errno : EFBIG);
    return -3;
  }
  return static_cast<int32_t>(here);
}

char *ut_file_get_contents(const char *path) {
  if (!path || !*path) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  // Non-blocking: a FIFO in the file's place must not stall the caller (it
  // then fails as unseekable); a regular file reads as ever.
  unique_fd fd(ut_open(path, false, O_RDONLY | O_NONBLOCK));
  if (!fd) {
    UT_DEBUG("couldn't open file so aborting");
    return nullptr;
  }
  const int32_t size = ut_filesize(fd.get());
  if (size > UT_FILE_CONTENTS_MAX) {
    UT_ERRNO(EFBIG);
    return nullptr;
  }
  if (size < 0)
    return nullptr;
  heap_text buffer(static_cast<char *>(std::calloc(size_t(size) + 1, 1)));
  if (!buffer) {
    UT_ERRNO(ENOMEM);
    return nullptr;
  }
  if (!ut_read(fd.get(), buffer.get(), size)) {
    UT_DEBUG("read failed aborting");
    return nullptr;
  }
  UT_DEBUG("read success!");
  return buffer.release();
}

int ut_file_exists(const char *path) {
  if (!path || !*path) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  struct stat st;
  if (stat(path, &st) != 0) {
    UT_DEBUG("%s", std::strerror(errno));
    return 0;
  }
  if (!S_ISREG(st.st_mode))
    return 0;
  UT_DEBUG("regular file - returning true");
  return 1;
}

int ut_file_executable(const char *path) {
  if (!ut_file_exists(path)) {
    UT_DEBUG("file doesn't exist - return false");
    return 0;
  }
  if (access(path, R_OK | X_OK) != 0) {
    UT_DEBUG("file either can't be read or can't be executed");
    return 0;
  }
  UT_DEBUG("returning true");
  return 1;
}

int ut_directory_exists(const char *path) {
  if (!path || !*path) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  UT_DEBUG("%s", path);
  struct stat st;
  if (stat(path, &st) != 0) {
    UT_DEBUG("stat returned non existent inode");
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) {
    UT_DEBUG("[%s] exists but not a directory", path);
    return 0;
  }
  UT_DEBUG("directory exists %s", path);
  return 1;
}

char *ut_tmp_file(const char *name) {
  if (!name || !*name) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  const char *directory = std::getenv("TMPDIR");
  if (directory) {
    UT_DEBUG("found environment variable %s", directory);
  } else {
    UT_DEBUG("TMPDIR environment variable not found: setting explicit /tmp");
    directory = "/tmp";
  }
  char *path = nullptr;
  char *pid = nullptr;
  const bool built = ut_strcat(&path, directory) && ut_strcat(&path, "/") &&
                     ut_strcat(&path, name) && ut_strcat(&path, ".") &&
                     ut_ltoa(&pid, getpid()) && ut_strcat(&path, pid);
  std::free(pid);
  if (!built) {
    std::free(path);
    return nullptr;
  }
  UT_DEBUG("generated %s", path);
  return path;
}

int ut_copyfile(const char *destination, const char *source) {
  if (!destination || !*destination || !source || !*source) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  UT_DEBUG("%s => %s", source, destination);
  unique_fd from(ut_open(source, false, O_RDONLY | O_NONBLOCK));
  if (!from) {
    UT_ERRNO(ECANCELED);
    return 0;
  }
  unique_fd to(ut_open(destination, true, O_RDWR | O_CREAT));
  if (!to) {
    UT_ERRNO(ECANCELED);
    return 0;
  }
  if (!ut_truncate(to.get())) {
    UT_ERRNO(ECANCELED);
    return 0;
  }
  const int32_t size = ut_filesize(from.get());
  if (size < 0)
    return 0;
  char block[BLOCK];
  for (int64_t left = size; left > 0;) {
    const int64_t chunk = chunk_of(left);
    // Cleared, so that a source that shrank meanwhile gives zeros, not the
    // previous block again.
    std::memset(block, 0, sizeof block);
    if (!ut_read(from.get(), block, chunk) ||
        !ut_write(to.get(), block, static_cast<uint64_t>(chunk)))
      return 0;
    left -= chunk;
  }
  // The copy stands when the destination closes well.
  const int closed = ut_close(to.release());
  ut_close(from.release());
  return closed;
}

int ut_fprintf(int fd, const char *format, ...) {
  if (fd == -1 || !format) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  char text[FORMAT_AREA] = {};
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, FORMAT_AREA - 1, format, args);
  va_end(args);
  if (length < 0) {
    UT_ERROR("unknown error on vsnprintf() %s", std::strerror(EBADRQC));
    return 0;
  }
  if (static_cast<size_t>(length) >= FORMAT_AREA - 1) {
    UT_ERRNO(E2BIG);
    return 0;
  }
  UT_DEBUG("arguments and format converted [%s]", text);
  return ut_write(fd, text, static_cast<uint64_t>(length));
}

int ut_readline(int fd, char *buffer, int64_t count) {
  if (!buffer || fd == -1 || count == 0) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  const int32_t position = ut_tell(fd);
  UT_DEBUG("current position in file %d", position);
  if (position < 0 || !ut_read(fd, buffer, count)) {
    UT_ERRNO(ECANCELED);
    return 0;
  }
  if (buffer[0] == '\0')
    return 0;
  UT_DEBUG("read data block: [%s]", buffer);
  char *line_end = std::strchr(buffer, '\n');
  if (!line_end)
    return 1;
  const int32_t length = static_cast<int32_t>(line_end - buffer);
  UT_DEBUG("newline found at character %d", length);
  *line_end = '\0';
  if (!ut_seek(fd, position, SEEK_SET) || !ut_seek(fd, length + 1, SEEK_CUR)) {
    UT_ERRNO(ECANCELED);
    return 0;
  }
  if (length > 0 && buffer[length - 1] == '\r')
    buffer[length - 1] = '\0';
  return 1;
}
