// small_files: the administrator's small list, toggle and switch files as a
// check run reads them, kept between runs in one cache file.
//
// A run reads a dozen files of a few bytes each, and opening one costs far
// more than its content. With the cache on, a file that the cache holds
// costs one stat(2): the cached bytes stand for it while its device, inode,
// size, modification and change times are those it had when it was read.
// Writing, truncating, replacing, renaming or chmod-ing the file changes
// one of them (the change time is the kernel's; no program can set it). A
// file goes into the cache only when it was last written at least
// SETTLED_SECONDS before it was read (file_settled), so that a write within
// the same tick of the clock as that read still changes its times.
//
//   small_files_use_cache(path)  turns the cache on for this process and
//       loads it; a missing, unreadable or damaged cache file is an empty
//       cache. Off by default: corvane-admin and the unit tests read every
//       file itself.
//   small_files_save()  when this run read a settled file that the cache
//       did not hold, or found one of its entries out of date, writes the
//       cache anew (replace_file; at most SMALL_FILES_CACHE_MAX bytes, the
//       files that do not fit left out) and returns whether it did. Frees
//       what the run added either way.
//   small_file(path, max[, found])  the file as open_regular(path,
//       O_RDONLY, max) opens it: opened() is false where that fails (a
//       cached file: where its stat fails); lines() gives its lines, from
//       the cache or read. `found`, when given, is the file's stat just
//       made, which a cached file is checked against instead of another.
//       Files of at most SMALL_FILE_MAX bytes that every user may read are
//       offered to the cache (one that only some may read must not answer
//       for a run of another user).
//   small_file_regular(path)  whether stat(2) finds a regular file there.
//   small_files_caching()  whether the cache is on.
//   small_files_record(name, st, &bytes, n) / small_files_keep(name, st,
//       bytes, n)  a record of n bytes (at most SMALL_FILE_MAX) that the
//       run computed from the regular file whose stat is `st`, kept under
//       `name` (no list file's path): found (copied to `bytes`) only while
//       that file keeps the identity it had, and it is settled.
//
// A path found missing is cached too, when no name at all stands there (not
// even a dangling link) and its folder is settled: while the folder keeps
// its identity, no name has been made in it, and the path costs no system
// call beyond the folder's stat, made once a run.
#pragma once

#include "util/fd_lines.h"
#include "util/raii.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sys/stat.h>

inline constexpr const char *SMALL_FILES_CACHE =
    "/var/cache/corvane/small-files.cache";
inline constexpr size_t SMALL_FILES_CACHE_MAX = 8192;
inline constexpr int64_t SMALL_FILE_MAX = 4096;

void small_files_use_cache(const char *path);
bool small_files_save();
bool small_file_regular(const char *path);
bool small_files_caching();
bool small_files_record(const char *name, const struct stat &st, void *bytes,
                        size_t n);
void small_files_keep(const char *name, const struct stat &st,
                      const void *bytes, size_t n);

class small_file {
public:
  small_file(const char *path, int64_t max, const struct stat *found = nullptr);
  bool opened() const { return lines_.has_value(); }
  fd_lines &lines() { return *lines_; }

private:
  unique_fd fd_;
  std::optional<fd_lines> lines_;
};
