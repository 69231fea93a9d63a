#include "util/small_files.h"

#include "util/checksum.h"
#include "util/fd_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cache file: a header, then entries, each a head, the file's path and
// its bytes, padded with zeros to a multiple of eight bytes; native byte
// order (the file is this machine's own). The checksum covers every word of
// the file, itself counted as zero.
constexpr char MAGIC[8] = {'C', 'V', 'S', 'M', 'A', 'L', 'L', '1'};
constexpr size_t MAX_ENTRIES = 32;
// The size of an entry for a path that names nothing; its identity is the
// folder's: creating, linking or renaming a name in a folder changes the
// folder's times.
constexpr uint32_t MISSING = 0xffffffff;

struct cache_header {
  char magic[8];
  uint32_t count, bytes;
  uint64_t checksum, reserved;
};

// `identity` is the file's (its folder's for a missing path; the file's a
// record was computed from), as identity_of gives it.
struct entry_head {
  file_identity identity;
  uint32_t path_length, size;
};

static_assert(sizeof(cache_header) == 32 && sizeof(entry_head) == 56);

struct entry {
  entry_head head;
  const char *path, *bytes;
  bool stale;
};

size_t padded(size_t n) { return (n + 7) & ~size_t{7}; }

// The entry's length after its head.
size_t body_length(const entry_head &head) {
  return padded(size_t{head.path_length} +
                (head.size == MISSING ? 0 : head.size));
}

bool same_identity(const entry_head &head, const struct stat &st) {
  return head.identity == identity_of(st);
}

bool same_file(const entry_head &head, const struct stat &st) {
  return S_ISREG(st.st_mode) && int64_t{head.size} == st.st_size &&
         same_identity(head, st);
}

bool readable_by_all(const struct stat &st) {
  constexpr mode_t READABLE = S_IRUSR | S_IRGRP | S_IROTH;
  return (st.st_mode & READABLE) == READABLE;
}

uint64_t checksum_of(const char *file, size_t size) {
  cache_header header;
  std::memcpy(&header, file, sizeof header);
  header.checksum = 0;
  running_checksum sum;
  sum.add(reinterpret_cast<const char *>(&header), sizeof header / 8);
  sum.add(file + sizeof header, (size - sizeof header) / 8);
  return sum.value();
}

// The process's cache: the file as loaded (in the large-data section, so
// that it does not spread the run's other variables over more pages), its
// entries, and the entries this run adds, already in the file's layout.
__attribute__((section(".lbss"))) char loaded[SMALL_FILES_CACHE_MAX];
const char *cache_path = nullptr;
entry entries[MAX_ENTRIES];
size_t entry_count = 0;
char *added = nullptr; // malloc'd; freed by small_files_save
size_t added_size = 0;
uint32_t added_count = 0;
bool dirty = false;

// An entry found out of date: dropped when the cache is written anew.
void forget(entry *e) {
  e->stale = true;
  dirty = true;
}

// Writes an entry in the file's layout at `out`; its length.
size_t write_entry(char *out, const entry_head &head, const char *path,
                   const char *bytes) {
  const size_t length = sizeof head + body_length(head);
  std::memset(out, 0, length);
  std::memcpy(out, &head, sizeof head);
  std::memcpy(out + sizeof head, path, head.path_length);
  if (head.size != MISSING)
    std::memcpy(out + sizeof head + head.path_length, bytes, head.size);
  return length;
}

// The folders this run stat'ed for entries of missing paths.
struct folder_stat {
  char path[256];
  bool found;
  struct stat st;
};
folder_stat folders[4];
size_t folder_count = 0;

// The stat of the folder that holds `path`, once a run; null when it fails
// or the path names no folder.
const struct stat *folder_of(const char *path) {
  const char *slash = std::strrchr(path, '/');
  const size_t length = slash ? static_cast<size_t>(slash - path) : 0;
  if (length == 0 || length >= sizeof folders[0].path)
    return nullptr;
  for (size_t i = 0; i < folder_count; ++i)
    if (std::strlen(folders[i].path) == length &&
        std::memcmp(folders[i].path, path, length) == 0)
      return folders[i].found ? &folders[i].st : nullptr;
  static folder_stat spare;
  folder_stat &f =
      folder_count < std::size(folders) ? folders[folder_count++] : spare;
  std::memcpy(f.path, path, length);
  f.path[length] = '\0';
  f.found = stat(f.path, &f.st) == 0 && S_ISDIR(f.st.st_mode);
  return f.found ? &f.st : nullptr;
}

bool parse_entries(size_t size) {
  if (size < sizeof(cache_header) || size % 8 != 0)
    return false;
  cache_header header;
  std::memcpy(&header, loaded, sizeof header);
  if (std::memcmp(header.magic, MAGIC, sizeof MAGIC) != 0 ||
      header.bytes != size || header.count > MAX_ENTRIES ||
      header.checksum != checksum_of(loaded, size))
    return false;
  size_t at = sizeof header;
  for (uint32_t i = 0; i < header.count; ++i) {
    entry &e = entries[i];
    if (size - at < sizeof e.head)
      return false;
    std::memcpy(&e.head, loaded + at, sizeof e.head);
    at += sizeof e.head;
    if (e.head.path_length == 0 ||
        (e.head.size > SMALL_FILE_MAX && e.head.size != MISSING) ||
        size - at < body_length(e.head))
      return false;
    e.path = loaded + at;
    e.bytes = e.path + e.head.path_length;
    e.stale = false;
    at += body_length(e.head);
  }
  entry_count = header.count;
  return at == size;
}

entry *cached(const char *path) {
  const size_t length = std::strlen(path);
  for (size_t i = 0; i < entry_count; ++i)
    if (entries[i].head.path_length == length &&
        std::memcmp(entries[i].path, path, length) == 0)
      return &entries[i];
  return nullptr;
}

bool was_added(const char *path) {
  const size_t length = std::strlen(path);
  for (size_t at = 0; at < added_size;) {
    entry_head head;
    std::memcpy(&head, added + at, sizeof head);
    if (head.path_length == length &&
        std::memcmp(added + at + sizeof head, path, length) == 0)
      return true;
    at += sizeof head + body_length(head);
  }
  return false;
}

// Adds the file of `size` bytes, or MISSING with `st` its folder's.
void add(const char *path, const struct stat &st, const char *bytes,
         uint32_t size) {
  if (was_added(path) || added_count == MAX_ENTRIES)
    return;
  const entry_head head{identity_of(st),
                        static_cast<uint32_t>(std::strlen(path)), size};
  const size_t length = sizeof head + body_length(head);
  if (sizeof(cache_header) + added_size + length > SMALL_FILES_CACHE_MAX)
    return;
  auto *grown = static_cast<char *>(std::realloc(added, added_size + length));
  if (!grown)
    return;
  added = grown;
  added_size += write_entry(added + added_size, head, path, bytes);
  ++added_count;
  dirty = true;
}

// A path that open(2) or stat(2) found missing goes into the cache when no
// name at all stands there (not even a dangling link, whose target may come)
// and its folder is settled.
void note_missing(const char *path) {
  const struct stat *folder = folder_of(path);
  struct stat st;
  if (folder && file_settled(*folder) && lstat(path, &st) != 0 &&
      errno == ENOENT)
    add(path, *folder, nullptr, MISSING);
}

// Whether the cache says that `path`, of the entry `known`, still names
// nothing: an entry of a missing path whose folder is as it was. An entry of
// a missing path whose folder changed is forgotten.
bool still_missing(const char *path, entry *known) {
  if (!known || known->head.size != MISSING)
    return false;
  const struct stat *folder = folder_of(path);
  if (folder && same_identity(known->head, *folder))
    return true;
  forget(known);
  return false;
}

} // namespace

void small_files_use_cache(const char *path) {
  cache_path = path;
  entry_count = 0;
  // No fstat: the read is bounded, and what is not a cache written by this
  // code (a FIFO, a device, a damaged file) fails the checks.
  unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid())
    return;
  const ssize_t got = read(fd.get(), loaded, sizeof loaded);
  if (got <= 0 || !parse_entries(static_cast<size_t>(got)))
    entry_count = 0;
}

bool small_files_save() {
  heap_text taken(added);
  const size_t taken_size = added_size;
  const uint32_t taken_count = added_count;
  added = nullptr;
  added_size = 0;
  added_count = 0;
  if (!cache_path || !dirty)
    return false;
  dirty = false;
  heap_text out(static_cast<char *>(std::malloc(SMALL_FILES_CACHE_MAX)));
  if (!out)
    return false;
  // The entries this run added (already in the layout, and within the
  // limits), then those it found as they were or did not look at.
  if (taken_size > 0)
    std::memcpy(out.get() + sizeof(cache_header), taken.get(), taken_size);
  size_t size = sizeof(cache_header) + taken_size;
  uint32_t count = taken_count;
  for (size_t i = 0; i < entry_count && count < MAX_ENTRIES; ++i) {
    const entry &e = entries[i];
    const size_t length = sizeof e.head + body_length(e.head);
    // A path this run read again was added anew, or is unsettled now.
    if (!e.stale && size + length <= SMALL_FILES_CACHE_MAX) {
      size += write_entry(out.get() + size, e.head, e.path, e.bytes);
      ++count;
    }
  }
  cache_header header{};
  std::memcpy(header.magic, MAGIC, sizeof MAGIC);
  header.count = count;
  header.bytes = static_cast<uint32_t>(size);
  std::memcpy(out.get(), &header, sizeof header);
  header.checksum = checksum_of(out.get(), size);
  std::memcpy(out.get(), &header, sizeof header);
  return replace_file(cache_path, out.get(), size);
}

small_file::small_file(const char *path, int64_t max,
                       const struct stat *found) {
  if (!path)
    return;
  entry *known = cache_path ? cached(path) : nullptr;
  if (still_missing(path, known))
    return;
  if (known && known->head.size != MISSING) {
    struct stat st;
    if (found)
      st = *found;
    else if (stat(path, &st) != 0)
      return; // as its open would fail; the entry stays for the file's return
    if (same_file(known->head, st) && (max <= 0 || st.st_size <= max)) {
      lines_.emplace(known->bytes, known->head.size);
      return;
    }
    forget(known);
  }
  struct stat st;
  fd_.reset(open_regular_stat(path, O_RDONLY, max, &st));
  if (!fd_.valid()) {
    if (errno == ENOENT && cache_path)
      note_missing(path);
    return;
  }
  lines_.emplace(fd_.get(), st.st_size);
  size_t size;
  const char *bytes;
  if (cache_path && st.st_size <= SMALL_FILE_MAX && readable_by_all(st) &&
      file_settled(st) && (bytes = lines_->whole(&size)) != nullptr)
    add(path, st, bytes, size);
}

bool small_file_regular(const char *path) {
  if (!path || !*path)
    return false;
  if (still_missing(path, cache_path ? cached(path) : nullptr))
    return false;
  struct stat st;
  if (stat(path, &st) == 0)
    return S_ISREG(st.st_mode);
  if (errno == ENOENT && cache_path)
    note_missing(path);
  return false;
}

bool small_files_caching() { return cache_path != nullptr; }

bool small_files_record(const char *name, const struct stat &st, void *bytes,
                        size_t n) {
  entry *known = cache_path ? cached(name) : nullptr;
  if (!known || known->head.size != n)
    return false;
  if (!S_ISREG(st.st_mode) || !same_identity(known->head, st)) {
    forget(known);
    return false;
  }
  std::memcpy(bytes, known->bytes, n);
  return true;
}

void small_files_keep(const char *name, const struct stat &st,
                      const void *bytes, size_t n) {
  if (entry *known = cached(name))
    forget(known);
  if (cache_path && n <= SMALL_FILE_MAX && S_ISREG(st.st_mode) &&
      readable_by_all(st) && file_settled(st))
    add(name, st, static_cast<const char *>(bytes), static_cast<uint32_t>(n));
}
