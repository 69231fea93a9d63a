// fd_lines: an open file's lines as a stream's fgets and getc would give
// them, read straight from the descriptor into one buffer.
//
// All readers of a run share one static buffer (one made while another is
// open gets its own from the heap), so that the many small list and switch
// files of a run cost one read each and touch no new memory after the
// first. A file larger than the buffer streams through it in chunks.
//
//   fd_lines(fd, size)   reads fd from its offset; `size` is the file's size
//       from the fstat of its open: once that many bytes are in, the file
//       ends without a read that returns 0. Size 0 says nothing (such as
//       /proc's files report): the file ends at a read that returns 0.
//       `read` (read(2) when null) lets a test script the file's reads.
//   fd_lines(bytes, size)  the same lines from a file's bytes held in
//       memory (size at most CAPACITY), with no descriptor.
//   whole(&length)  the whole file, when it is now in the buffer and no
//       piece has been given out (reading its first buffer if nothing has
//       been read): a file that its first read gave to the size its fstat
//       told. Null otherwise. Good until next_piece or skip_line.
//   next_piece(limit, &length)  what fgets(s, limit + 1, stream) stores: the
//       bytes up to and including the next '\n', at most `limit` of them
//       (limit < CAPACITY), or the rest of the file; *length of them (NULs
//       among them), not terminated, good until the next call. Null at the
//       end of the file and when a read fails, where the caller stops (as
//       after fgets, whose part of the piece read before the failure is lost).
//   failed()             whether a read failed.
//   skip_line(&piece)    reads on to the end of the line as getc until '\n'
//       would: true when a '\n' ended it; false at the end of the file or
//       when a read fails. The last piece stays whole, with the byte after
//       it free to write when false; `piece` follows it (it may move).
//
// After skip_line's failed read, the next call tries again, as a stream's
// next fgets does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

class fd_lines {
public:
  static constexpr size_t BUFFER = 8192;
  static constexpr size_t CAPACITY = BUFFER - 1; // one byte to end a piece
  using read_function = ssize_t (*)(int fd, void *buffer, size_t count);

  fd_lines(int fd, int64_t size, read_function read = nullptr);
  fd_lines(const char *bytes, size_t size);
  fd_lines(const fd_lines &) = delete;
  fd_lines &operator=(const fd_lines &) = delete;
  ~fd_lines();

  const char *whole(size_t *length);
  char *next_piece(size_t limit, size_t *length);
  bool skip_line(char **piece);
  // Whether a read failed (where next_piece or skip_line stopped).
  bool failed() const { return failed_; }

private:
  [[nodiscard]] bool fill(size_t keep);

  int fd_;
  int64_t size_, read_ = 0;
  read_function read_function_;
  char *buffer_;
  bool shared_, at_end_ = false, failed_ = false, fail_next_ = false;
  size_t start_ = 0, end_ = 0;          // the bytes not yet given out
  size_t piece_ = 0, piece_length_ = 0; // the last piece given out
};
