#include "util/fd_lines.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// In the large-data section after .bss, so that it does not spread the run's
// other variables over more pages: a small file touches only the page where
// it begins, the last of .bss, which those variables already use.
__attribute__((section(".lbss"))) char shared_buffer[fd_lines::BUFFER];
bool shared_buffer_taken = false;

} // namespace

fd_lines::fd_lines(int fd, int64_t size, read_function read)
    : fd_(fd), size_(size), read_function_(read ? read : ::read),
      buffer_(shared_buffer), shared_(!shared_buffer_taken) {
  if (shared_)
    shared_buffer_taken = true;
  else
    buffer_ = static_cast<char *>(std::malloc(BUFFER));
}

fd_lines::fd_lines(const char *bytes, size_t size)
    : fd_lines(-1, static_cast<int64_t>(size)) {
  if (!buffer_ || size > CAPACITY) {
    failed_ = at_end_ = true;
    return;
  }
  std::memcpy(buffer_, bytes, size);
  end_ = size;
  read_ = static_cast<int64_t>(size);
  at_end_ = true;
}

const char *fd_lines::whole(size_t *length) {
  if (!buffer_ || start_ != 0 || piece_length_ != 0)
    return nullptr;
  if (read_ == 0 && !at_end_ && !fill(0) && !at_end_) {
    // The caller's next_piece stops where its own first read would have.
    fail_next_ = failed_;
    return nullptr;
  }
  if (!at_end_ || read_ != size_)
    return nullptr;
  *length = end_;
  return buffer_;
}

fd_lines::~fd_lines() {
  if (shared_)
    shared_buffer_taken = false;
  else
    std::free(buffer_);
}

// Moves the bytes from `keep` on to the buffer's start, then reads more
// after them: false at the end of the file or when the read fails.
bool fd_lines::fill(size_t keep) {
  std::memmove(buffer_, buffer_ + keep, end_ - keep);
  start_ -= keep;
  end_ -= keep;
  if (at_end_)
    return false;
  const ssize_t got = read_function_(fd_, buffer_ + end_, CAPACITY - end_);
  if (got < 0) {
    failed_ = true;
    return false;
  }
  end_ += static_cast<size_t>(got);
  read_ += got;
  at_end_ = got == 0 || read_ == size_;
  return got > 0;
}

char *fd_lines::next_piece(size_t limit, size_t *length) {
  if (!buffer_ || fail_next_) {
    fail_next_ = false;
    return nullptr;
  }
  for (;;) {
    char *from = buffer_ + start_;
    const size_t have = end_ - start_;
    const auto *newline = static_cast<const char *>(
        std::memchr(from, '\n', std::min(have, limit)));
    const size_t n = newline                    ? newline - from + 1
                     : have >= limit || at_end_ ? std::min(have, limit)
                                                : 0;
    if (n > 0) {
      piece_ = start_;
      piece_length_ = n;
      start_ += n;
      *length = n;
      return from;
    }
    if (at_end_)
      return nullptr;
    if (!fill(start_) && !at_end_)
      return nullptr;
  }
}

bool fd_lines::skip_line(char **piece) {
  for (;;) {
    const void *newline = std::memchr(buffer_ + start_, '\n', end_ - start_);
    if (newline) {
      start_ = static_cast<const char *>(newline) - buffer_ + 1;
      return true;
    }
    start_ = end_ = piece_ + piece_length_;
    const bool more = fill(piece_);
    piece_ = 0;
    *piece = buffer_;
    if (!more)
      return false;
  }
}
