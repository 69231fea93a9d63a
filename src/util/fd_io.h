// fd_io: silent file-descriptor helpers for the counter and map files.
//
// None of them reports anything; a descriptor of -1 stands for "no file".
//
//   open_locked(path, lock, flags)  open(2) with mode 0666; with `lock`, an
//                                   exclusive fcntl write lock over the whole
//                                   file, waiting as long as it takes.
//                                   -1 for no path, a failed open or lock.
//   fd_close(fd)                    true for -1, else whether close worked.
//   fd_write_all / fd_read_all      true when one call moved all n bytes;
//                                   false for n 0, no buffer or fd -1.
//   fd_seek(fd, offset, origin)     false for -1 or a failed lseek.
//   fd_size(fd)                     0 for -1; else the offset of the end
//                                   (the descriptor is left there).
//   fd_truncate_here(fd)            truncates at the current offset.
//   read_whole_file(path)           the whole file in a zeroed heap buffer
//                                   one byte longer than the file (free()),
//                                   or null when open or allocation fails.
#pragma once

#include <cstddef>
#include <cstdint>

int open_locked(const char *path, bool lock, int flags);
bool fd_close(int fd);
bool fd_write_all(int fd, const void *buffer, size_t n);
bool fd_read_all(int fd, void *buffer, size_t n);
bool fd_seek(int fd, int32_t offset, int origin);
int64_t fd_size(int fd);
bool fd_truncate_here(int fd);
char *read_whole_file(const char *path);
