#include "lookup/ipr_map_builder.h"

#include "util/raii.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t NONE_LISTED = 0;
constexpr uint32_t ALL_LISTED = 0xFFFFFFFF;
constexpr size_t INDEX_ENTRIES = 256;
constexpr size_t INDEX_BYTES = INDEX_ENTRIES * 4;
constexpr size_t BITMAP_BYTES = 65536 / 8;
constexpr size_t SHOWN_ENTRY_BYTES = 60;

__attribute__((format(printf, 3, 4))) int fail(char *errbuf, size_t errlen,
                                               const char *format, ...) {
  if (errbuf && errlen > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(errbuf, errlen, format, args);
    va_end(args);
  }
  return -1;
}

struct slash16_block {
  bool full = false;
  std::unique_ptr<uint8_t[]> bitmap; // only while partly listed
};

struct slash8_block {
  bool full = false;
  std::unique_ptr<slash16_block[]> blocks; // only while partly listed
};

// The listed addresses, kept as the map file will describe them.
class map_tree {
public:
  // false when memory runs out.
  [[nodiscard]] bool add(uint32_t network, unsigned prefix) {
    if (prefix <= 8) {
      const uint32_t first = network >> 24;
      for (uint32_t a = first; a < first + (1u << (8 - prefix)); ++a) {
        slash8_[a].full = true;
        slash8_[a].blocks.reset();
      }
      return true;
    }
    slash8_block &top = slash8_[network >> 24];
    if (top.full)
      return true;
    if (!top.blocks)
      top.blocks.reset(new (std::nothrow) slash16_block[INDEX_ENTRIES]);
    if (!top.blocks)
      return false;
    if (prefix <= 16) {
      const uint32_t first = (network >> 16) & 0xFF;
      for (uint32_t b = first; b < first + (1u << (16 - prefix)); ++b) {
        top.blocks[b].full = true;
        top.blocks[b].bitmap.reset();
      }
      return true;
    }
    slash16_block &block = top.blocks[(network >> 16) & 0xFF];
    if (block.full)
      return true;
    if (!block.bitmap)
      block.bitmap.reset(new (std::nothrow) uint8_t[BITMAP_BYTES]());
    if (!block.bitmap)
      return false;
    const uint32_t start = network & 0xFFFF;
    const uint32_t count = 1u << (32 - prefix);
    if (count >= 8) {
      std::memset(block.bitmap.get() + start / 8, 0xFF, count / 8);
    } else {
      for (uint32_t n = start; n < start + count; ++n)
        block.bitmap[n / 8] |= static_cast<uint8_t>(0x80u >> (n % 8));
    }
    return true;
  }

  // Full bitmaps become full /16s, /8s made of full /16s become full /8s.
  void normalise() {
    for (slash8_block &top : slash8_) {
      if (!top.blocks)
        continue;
      bool all_full = true;
      for (size_t b = 0; b < INDEX_ENTRIES; ++b) {
        slash16_block &block = top.blocks[b];
        if (block.bitmap && every_bit_set(block.bitmap.get())) {
          block.full = true;
          block.bitmap.reset();
        }
        all_full = all_full && block.full;
      }
      if (all_full) {
        top.full = true;
        top.blocks.reset();
      }
    }
  }

  // Level-1 index, then for each partly listed /8 in address order its
  // level-2 index followed by its bitmaps in address order.
  [[nodiscard]] bool write(int fd) const {
    uint32_t level1[INDEX_ENTRIES];
    uint64_t offset = INDEX_BYTES;
    for (size_t a = 0; a < INDEX_ENTRIES; ++a) {
      const slash8_block &top = slash8_[a];
      if (top.full) {
        level1[a] = ALL_LISTED;
      } else if (!top.blocks) {
        level1[a] = NONE_LISTED;
      } else {
        level1[a] = static_cast<uint32_t>(offset);
        offset += INDEX_BYTES;
        for (size_t b = 0; b < INDEX_ENTRIES; ++b)
          if (top.blocks[b].bitmap)
            offset += BITMAP_BYTES;
      }
    }
    if (!write_index(fd, level1))
      return false;
    for (size_t a = 0; a < INDEX_ENTRIES; ++a) {
      const slash8_block &top = slash8_[a];
      if (!top.blocks)
        continue;
      uint32_t level2[INDEX_ENTRIES];
      uint32_t bitmap_offset = level1[a] + INDEX_BYTES;
      for (size_t b = 0; b < INDEX_ENTRIES; ++b) {
        const slash16_block &block = top.blocks[b];
        if (block.full) {
          level2[b] = ALL_LISTED;
        } else if (!block.bitmap) {
          level2[b] = NONE_LISTED;
        } else {
          level2[b] = bitmap_offset;
          bitmap_offset += BITMAP_BYTES;
        }
      }
      if (!write_index(fd, level2))
        return false;
      for (size_t b = 0; b < INDEX_ENTRIES; ++b)
        if (top.blocks[b].bitmap &&
            !write_all(fd, top.blocks[b].bitmap.get(), BITMAP_BYTES))
          return false;
    }
    return true;
  }

private:
  static bool every_bit_set(const uint8_t *bitmap) {
    for (size_t i = 0; i < BITMAP_BYTES; ++i)
      if (bitmap[i] != 0xFF)
        return false;
    return true;
  }

  [[nodiscard]] static bool write_all(int fd, const void *data, size_t size) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    while (size > 0) {
      ssize_t n = ::write(fd, bytes, size);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return false;
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  [[nodiscard]] static bool
  write_index(int fd, const uint32_t (&entries)[INDEX_ENTRIES]) {
    unsigned char bytes[INDEX_BYTES];
    for (size_t i = 0; i < INDEX_ENTRIES; ++i) {
      bytes[4 * i] = static_cast<unsigned char>(entries[i]);
      bytes[4 * i + 1] = static_cast<unsigned char>(entries[i] >> 8);
      bytes[4 * i + 2] = static_cast<unsigned char>(entries[i] >> 16);
      bytes[4 * i + 3] = static_cast<unsigned char>(entries[i] >> 24);
    }
    return write_all(fd, bytes, sizeof bytes);
  }

  slash8_block slash8_[INDEX_ENTRIES];
};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back()))
    text.remove_suffix(1);
  return text;
}

// The entry as it may appear in a message: bounded, control bytes as '?'.
std::string shown(std::string_view entry) {
  std::string text(entry.substr(0, SHOWN_ENTRY_BYTES));
  for (char &c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  if (entry.size() > SHOWN_ENTRY_BYTES)
    text += "...";
  return text;
}

// Parses "a.b.c.d" or "a.b.c.d/len"; null on success, else the reason.
const char *parse_entry(std::string_view entry, uint32_t *network,
                        unsigned *prefix) {
  constexpr const char *NOT_AN_ENTRY = "not an IPv4 address or CIDR block";
  const size_t slash = entry.find('/');
  std::string_view address = entry.substr(0, slash);
  char text[INET_ADDRSTRLEN];
  if (address.size() >= sizeof text)
    return NOT_AN_ENTRY;
  std::memcpy(text, address.data(), address.size());
  text[address.size()] = '\0';
  struct in_addr parsed;
  if (inet_pton(AF_INET, text, &parsed) != 1)
    return NOT_AN_ENTRY;
  *network = ntohl(parsed.s_addr);
  *prefix = 32;
  if (slash != std::string_view::npos) {
    std::string_view length = entry.substr(slash + 1);
    if (length.empty() || length.size() > 2)
      return NOT_AN_ENTRY;
    unsigned value = 0;
    for (char c : length) {
      if (c < '0' || c > '9')
        return NOT_AN_ENTRY;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 32)
      return "prefix length must be 0 to 32";
    *prefix = value;
  }
  const uint32_t host_bits = *prefix == 32 ? 0 : 0xFFFFFFFFu >> *prefix;
  if (*network & host_bits)
    return "address has bits set beyond the prefix length";
  return nullptr;
}

int read_list(const char *input_path, map_tree *tree, char *errbuf,
              size_t errlen) {
  unique_file input(std::fopen(input_path, "re"));
  if (!input)
    return fail(errbuf, errlen, "cannot open %s: %s", input_path,
                std::strerror(errno));
  char *raw_line = nullptr;
  size_t capacity = 0;
  scope_exit release_line([&raw_line] { std::free(raw_line); });
  size_t number = 0;
  for (;;) {
    errno = 0;
    ssize_t length = getline(&raw_line, &capacity, input.get());
    if (length < 0) {
      if (std::ferror(input.get()))
        return fail(errbuf, errlen, "cannot read %s: %s", input_path,
                    std::strerror(errno ? errno : EIO));
      return 0;
    }
    ++number;
    std::string_view line(raw_line, static_cast<size_t>(length));
    std::string_view entry = trimmed(line.substr(0, line.find('#')));
    if (entry.empty())
      continue;
    uint32_t network = 0;
    unsigned prefix = 0;
    if (const char *why = parse_entry(entry, &network, &prefix))
      return fail(errbuf, errlen, "line %zu: %s: \"%s\"", number, why,
                  shown(entry).c_str());
    if (!tree->add(network, prefix))
      return fail(errbuf, errlen, "out of memory at line %zu", number);
  }
}

// Best effort: makes the rename itself durable.
void sync_directory_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos
                              ? "."
                              : (slash == 0 ? "/" : path.substr(0, slash));
  unique_fd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid())
    (void)fsync(fd.get());
}

} // namespace

int ipr_build_map(const char *input_path, const char *output_path, char *errbuf,
                  size_t errlen) {
  if (errbuf && errlen > 0)
    errbuf[0] = '\0';
  if (!input_path || !output_path || !*input_path || !*output_path)
    return fail(errbuf, errlen, "missing input or output path");

  std::unique_ptr<map_tree> tree(new (std::nothrow) map_tree);
  if (!tree)
    return fail(errbuf, errlen, "out of memory");
  if (read_list(input_path, tree.get(), errbuf, errlen) != 0)
    return -1;
  tree->normalise();

  const std::string output(output_path);
  const std::string temporary = output + ".tmp";
  unique_fd fd(open(temporary.c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                    0644));
  if (!fd.valid())
    return fail(errbuf, errlen, "cannot create %s: %s", temporary.c_str(),
                std::strerror(errno));
  scope_exit remove_temporary([&temporary] { unlink(temporary.c_str()); });
  if (!tree->write(fd.get()))
    return fail(errbuf, errlen, "cannot write %s: %s", temporary.c_str(),
                std::strerror(errno ? errno : EIO));
  if (fsync(fd.get()) != 0)
    return fail(errbuf, errlen, "cannot sync %s: %s", temporary.c_str(),
                std::strerror(errno));
  if (close(fd.release()) != 0)
    return fail(errbuf, errlen, "cannot close %s: %s", temporary.c_str(),
                std::strerror(errno));
  if (rename(temporary.c_str(), output.c_str()) != 0)
    return fail(errbuf, errlen, "cannot rename %s to %s: %s", temporary.c_str(),
                output.c_str(), std::strerror(errno));
  remove_temporary.dismiss();
  sync_directory_of(output);
  return 0;
}
