// ut_file: the utility library's file operations on plain descriptors.
//
// -1 is "no file": every operation taking a descriptor refuses it. Reads and
// writes move at most 4096 bytes per system call. Sizes and positions are
// 32-bit: a file of 2 GiB or more is refused with EFBIG where its size or
// position would be returned.
//
//   ut_open(path, lock, flags)   open(2) with mode 0666 (less the umask);
//        with `lock`, waits for an fcntl write lock on the whole file (the
//        descriptor must be writable). The descriptor, or -1.
//   ut_close(fd)                 1, or 0.
//   ut_write(fd, buffer, n)      1 when all n bytes were written, else 0.
//   ut_read(fd, buffer, n)       1 after reading n bytes or up to a short
//        read (end of file); 0 on failure. Does not terminate the buffer; a
//        negative n gives 1 at once.
//   ut_read_nonblock(fd, buffer, n, timeout_us, &timed_out, &count)
//        ut_read, waiting with select(2) before each read; the timeout
//        bounds all the waiting of the call. 0 with timed_out set to 1 when
//        no data came in time (count untouched); 1 with count set to the
//        bytes read. A descriptor select cannot watch (negative, or 1024 and
//        above) is refused with EINVAL.
//   ut_seek(fd, offset, origin)  1, or 0.
//   ut_filesize(fd)              the size (the position is kept), or -1.
//   ut_truncate(fd)              1 with the file cut at the position, or 0.
//   ut_tell(fd)                  the position; -1 for fd -1; -3 on failure.
//   ut_file_get_contents(path)   the whole file plus a terminator in a new
//        block (free()); null for a missing, unreadable, empty, unseekable
//        or larger than 100 MiB (EFBIG) file. The open cannot block.
//   ut_file_exists(path)         1 for a regular file (links followed).
//   ut_file_executable(path)     1 when it exists and the real user may read
//        and execute it.
//   ut_directory_exists(path)    1 for a directory (links followed).
//   ut_tmp_file(name)            new string "$TMPDIR/name.<pid>" ("/tmp"
//        without TMPDIR); nothing is created; null on failure.
//   ut_copyfile(destination, source)
//        1 after copying the source's bytes over the destination (created
//        0666 less the umask, truncated, held under the write lock); else 0.
//   ut_fprintf(fd, format, ...)  1 when the formatted text (at most 1022
//        characters, else E2BIG and nothing written) was written.
//   ut_readline(fd, buffer, n)   reads a block of up to n bytes and keeps its
//        first line (line feed, and a carriage return before it, removed),
//        leaving the position after the line feed; 1, or 0 at end of file or
//        on failure. The caller clears the buffer and passes n at least one
//        below its capacity.
//
// Failures are reported (ut_log) with the system's texts: EINVAL for
// arguments, the errno of a failed system call, ENOMEM, EFBIG, E2BIG, and
// ECANCELED for a failed step of ut_copyfile and ut_readline.
#pragma once

#include <cstdint>

constexpr int64_t UT_FILE_CONTENTS_MAX = 104857600; // 100 MiB

int ut_open(const char *path, bool lock, int flags);
int ut_close(int fd);
int ut_write(int fd, const void *buffer, uint64_t count);
int ut_read(int fd, void *buffer, int64_t count);
int ut_read_nonblock(int fd, void *buffer, int64_t count, uint64_t timeout_us,
                     unsigned char *timed_out, uint32_t *bytes_read);
int ut_seek(int fd, int32_t offset, int origin);
int32_t ut_filesize(int fd);
int ut_truncate(int fd);
int32_t ut_tell(int fd);
char *ut_file_get_contents(const char *path);
int ut_file_exists(const char *path);
int ut_file_executable(const char *path);
int ut_directory_exists(const char *path);
char *ut_tmp_file(const char *name);
int ut_copyfile(const char *destination, const char *source);
int ut_fprintf(int fd, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
int ut_readline(int fd, char *buffer, int64_t count);
