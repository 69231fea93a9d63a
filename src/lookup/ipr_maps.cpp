#include "lookup/ipr_maps.h"

#include "engine/rule_registry.h"
#include "util/fd_io.h"
#include "util/general_funcs.h"
#include "util/plugin_log.h"
#include "util/raii.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr uint32_t NONE_LISTED = 0;
constexpr uint32_t ALL_LISTED = 0xFFFFFFFF;
constexpr off_t INDEX_BYTES = 256 * 4;
constexpr off_t BITMAP_BYTES = 65536 / 8;
constexpr size_t REGEX_ERROR_BYTES = 80;

// Exactly n bytes at an absolute offset. One positioned read does what a
// seek and a read would, in one system call instead of two; the lookup's
// cost is mostly system calls.
[[nodiscard]] bool read_at(int fd, off_t offset, void *buffer, size_t n) {
  return pread(fd, buffer, n, offset) == static_cast<ssize_t>(n);
}

[[nodiscard]] bool read_index_entry(int fd, off_t offset, uint32_t *value) {
  unsigned char bytes[4];
  if (!read_at(fd, offset, bytes, sizeof bytes))
    return false;
  *value = static_cast<uint32_t>(bytes[0]) |
           static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[3]) << 24;
  return true;
}

bool ipr_lookup_hit(const char *list_name, const char *ip) {
  if (!config.ipr_cache_dir)
    return false;
  char *raw_path = nullptr;
  if (asprintf(&raw_path, "%s/%s", config.ipr_cache_dir, list_name) < 0) {
    plugin_log(LOG_INFO,
               "Warning: asprintf() failed, skipping check.  Out of memory?");
    return false;
  }
  heap_text path(raw_path);
  plugin_log(LOG_DEBUG, "checkList(): IPR lookup [%s]", path.get());
  return lookupMapFile(path.get(), ip) == 1;
}

// The lookup in a map of known size.
int lookup_map_of_size(int fd, off_t size, uint32_t address) {
  unsigned char quad[4];
  std::memcpy(quad, &address, sizeof quad);

  uint32_t level1;
  if (!read_index_entry(fd, 4 * off_t{quad[0]}, &level1))
    return -1;
  if (level1 == NONE_LISTED)
    return 0;
  if (level1 == ALL_LISTED)
    return 1;
  if (off_t{level1} > size - INDEX_BYTES) {
    plugin_log(LOG_ERR, "lookupMap(): corrupt IPR file");
    return -1;
  }

  uint32_t level2;
  if (!read_index_entry(fd, off_t{level1} + 4 * off_t{quad[1]}, &level2))
    return -1;
  if (level2 == NONE_LISTED)
    return 0;
  if (level2 == ALL_LISTED)
    return 1;
  if (off_t{level2} > size - BITMAP_BYTES) {
    plugin_log(LOG_ERR, "lookupMap(): corrupt IPR file");
    return -1;
  }

  const unsigned n = quad[2] * 256u + quad[3];
  unsigned char bits;
  if (!read_at(fd, off_t{level2} + n / 8, &bits, 1))
    return -1;
  return (bits & (0x80u >> (n % 8))) ? 1 : 0;
}

// A map file whose size comes from the fstat after its open, not from a
// seek; -1 (silent) when it is no regular file or cannot be opened.
int lookup_map_path(const char *path, uint32_t address) {
  int64_t size = 0;
  unique_fd fd(open_regular(path, O_RDONLY, 0, &size));
  if (!fd.valid())
    return -1;
  return lookup_map_of_size(fd.get(), static_cast<off_t>(size), address);
}

} // namespace

int lookupMap(int fd, uint32_t address) {
  if (fd < 0) {
    plugin_log(LOG_WARNING, "lookupMap(): invalid file handle");
    return -1;
  }
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size < 0)
    return -1;
  return lookup_map_of_size(fd, size, address);
}

const char *ipr_map_problem(int fd) {
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size < 0)
    return "cannot be read";
  if (size < INDEX_BYTES)
    return "is shorter than its 1024-byte index: a short map";
  uint32_t level1[256], level2[256];
  if (!read_at(fd, 0, level1, sizeof level1))
    return "cannot be read";
  for (uint32_t first : level1) {
    first = le32toh(first);
    if (first == NONE_LISTED || first == ALL_LISTED)
      continue;
    if (off_t{first} > size - INDEX_BYTES)
      return "is corrupt: an index entry points past its end";
    if (!read_at(fd, first, level2, sizeof level2))
      return "cannot be read";
    for (uint32_t second : level2) {
      second = le32toh(second);
      if (second != NONE_LISTED && second != ALL_LISTED &&
          off_t{second} > size - BITMAP_BYTES)
        return "is corrupt: an index entry points past its end";
    }
  }
  return nullptr;
}

int lookupMapFile(const char *path, const char *ip) {
  if (!path || !ip)
    return -1;
  struct in_addr address;
  if (!inet_aton(ip, &address)) {
    plugin_log(LOG_WARNING, "lookupMapFile(): %s is not a valid IP address",
               ip);
    return -1;
  }
  return lookup_map_path(path, address.s_addr);
}

int lookupMaps(const char *directory, const char *names, const char *ip,
               int print) {
  struct in_addr address;
  if (!ip || !inet_aton(ip, &address)) {
    plugin_log(LOG_WARNING, "lookupMaps(): %s is not a valid IP address",
               ip ? ip : "(null)");
    return -1;
  }
  int hits = 0;
  const size_t directory_length = directory ? std::strlen(directory) : 0;
  for (uint32_t index = 0;; ++index) {
    char *raw_field = nullptr;
    if (!get_field(index, &raw_field, names, ' '))
      break;
    heap_text field(raw_field);
    char *raw_path = nullptr;
    str_append(&raw_path, directory);
    str_append(&raw_path, "/");
    str_append(&raw_path, field.get());
    heap_text path(raw_path);
    // str_append leaves the text as it was when memory runs out.
    if (!path || std::strlen(path.get()) !=
                     directory_length + 1 + std::strlen(field.get()))
      continue;
    // The open tells whether it is a regular file; only when it fails is
    // the file looked at again, so that one that cannot be opened is
    // reported as before and anything else passed over in silence.
    int rc = lookup_map_path(path.get(), address.s_addr);
    if (rc == -1 && !is_regular_file(path.get()))
      continue;
    if (rc == 0) {
      plugin_log(LOG_INFO, "lookupMaps(): IP %s is NOT on block list %s", ip,
                 field.get());
    } else if (rc == 1) {
      plugin_log(LOG_INFO, "lookupMaps(): IP %s is on block list %s", ip,
                 field.get());
      if (print)
        std::printf("%s ", field.get());
      ++hits;
    } else {
      plugin_log(LOG_WARNING, "lookupMaps(): lookupMap() returned: %d", rc);
    }
  }
  if (print)
    std::printf("\n");
  return hits > 0 ? 1 : 0;
}

int checkList(string_list *list, const char *subject, int mode,
              string_list **matches) {
  if (!list || !subject)
    return 0;
  bool ipr_hit = false;
  for (string_list *node = list; node; node = node->next) {
    if (!node->value) {
      plugin_log(LOG_DEBUG, "checkList(): entry had no data.\n");
      return 0;
    }
    switch (mode) {
    case CHECK_LIST_REGEX: {
      unique_regex pattern;
      int rc =
          pattern.compile(node->value, REG_EXTENDED | REG_ICASE | REG_NOSUB);
      if (rc != 0) {
        char error[REGEX_ERROR_BYTES];
        regerror(rc, pattern.get(), error, sizeof error);
        plugin_log(LOG_INFO, "Warning: regcomp(): %s\n", error);
        break;
      }
      if (pattern.matches(subject)) {
        if (matches)
          (void)string_list_append(matches, node->value);
        return 1;
      }
      break;
    }
    case CHECK_LIST_EQUAL:
      if (std::strcmp(node->value, subject) == 0)
        return 1;
      break;
    case CHECK_LIST_IPR:
      if (ipr_lookup_hit(node->value, subject)) {
        if (matches)
          (void)string_list_append(matches, node->value);
        ipr_hit = true;
      }
      break;
    default:
      break;
    }
  }
  return ipr_hit ? 1 : 0;
}
