#include "lookup/pattern_index.h"

#include "lookup/pattern_prefilter.h"
#include "util/fd_io.h"
#include "util/raii.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint64_t INDEX_MAGIC = 0x3158444e49544150; // "PATINDX1"
constexpr uint32_t INDEX_VERSION = 2;
// Far above the index of any pattern file a run would read.
constexpr int64_t INDEX_FILE_MAX = int64_t{64} << 20;

struct index_header {
  uint64_t magic;
  uint32_t version;
  uint32_t lines;
  uint32_t blob_size; // of the table of literals, a multiple of 8
  uint32_t unused;
  uint64_t device;
  uint64_t inode;
  int64_t size;
  int64_t mtime_s;
  int64_t mtime_ns;
  int64_t ctime_s;
  int64_t ctime_ns;
  uint64_t checksum; // of the whole file with this field 0
};
static_assert(sizeof(index_header) % 8 == 0);
static_assert(sizeof(pattern_index_line) == 24);

index_header header_for(const struct stat &source) {
  index_header header{};
  header.magic = INDEX_MAGIC;
  header.version = INDEX_VERSION;
  header.device = static_cast<uint64_t>(source.st_dev);
  header.inode = static_cast<uint64_t>(source.st_ino);
  header.size = source.st_size;
  header.mtime_s = source.st_mtim.tv_sec;
  header.mtime_ns = source.st_mtim.tv_nsec;
  header.ctime_s = source.st_ctim.tv_sec;
  header.ctime_ns = source.st_ctim.tv_nsec;
  return header;
}

bool same_file(const index_header &a, const index_header &b) {
  return a.magic == b.magic && a.version == b.version && a.device == b.device &&
         a.inode == b.inode && a.size == b.size && a.mtime_s == b.mtime_s &&
         a.mtime_ns == b.mtime_ns && a.ctime_s == b.ctime_s &&
         a.ctime_ns == b.ctime_ns;
}

// Of the header and the lines, over 64-bit words, in lanes the compiler can
// run side by side: it catches a torn or damaged file, not a forged one
// (the folder is the plug-in's own, and every offset is checked besides).
uint64_t checksum(const uint64_t *words, size_t count) {
  constexpr size_t LANES = 4;
  uint64_t sum[LANES] = {}, running[LANES] = {};
  size_t i = 0;
  for (; i + LANES <= count; i += LANES)
    for (size_t lane = 0; lane < LANES; ++lane) {
      sum[lane] += words[i + lane];
      running[lane] += sum[lane];
    }
  for (; i < count; ++i) {
    sum[0] += words[i];
    running[0] += sum[0];
  }
  uint64_t total = 0;
  for (size_t lane = 0; lane < LANES; ++lane)
    total = (total ^ sum[lane] ^ (running[lane] << 1)) * 0x9e3779b97f4a7c15;
  return total;
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

uint64_t char_bit(unsigned char c) {
  if (c >= 'a' && c <= 'z')
    return uint64_t{1} << (c - 'a');
  if (c >= '0' && c <= '9')
    return uint64_t{1} << (26 + c - '0');
  if (c == '.')
    return uint64_t{1} << 36;
  if (c == '-')
    return uint64_t{1} << 37;
  return uint64_t{1} << (38 + c % 26);
}

uint64_t text_mask(std::string_view text) {
  uint64_t mask = 0;
  for (char c : text)
    mask |= char_bit(static_cast<unsigned char>(c));
  return mask;
}

// A line's literals, in the table of literals: this head, `count` records,
// then their texts; 8-byte aligned, at most fd_window::BLOCK bytes.
struct blob_head {
  uint32_t check; // of the bytes after it
  uint8_t count;
  uint8_t unused[3];
};

struct blob_literal {
  uint16_t text;   // from the start of the blob
  uint16_t length; // of the folded text
  uint8_t where;   // pattern_literal_where or LITERAL_NEXT_ALTERNATIVE
  uint8_t alternatives;
  uint16_t unused;
};
static_assert(sizeof(blob_head) == 8 && sizeof(blob_literal) == 8);

uint32_t blob_check(const char *bytes, size_t n) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < n; ++i)
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
  return hash;
}

// The literals of one line while it is read, and its mask.
struct blob_builder {
  std::vector<blob_literal> literals;
  std::string text;

  uint64_t add(const pattern_literals &from_pattern) {
    uint64_t needed = 0, group_mask = 0;
    int group_left = 0;
    for (int i = 0; i < from_pattern.count; ++i) {
      const pattern_literal &from = from_pattern.literal[i];
      blob_literal literal{};
      literal.where = from.where;
      if (from.where == LITERAL_ONE_OF) {
        literal.alternatives = static_cast<uint8_t>(from.alternatives);
        group_left = from.alternatives;
        group_mask = ~uint64_t{0};
        literals.push_back(literal);
        continue;
      }
      const size_t start = text.size();
      for (const char *p = from.from; p < from.to; ++p) {
        if (*p == '\\')
          ++p;
        text += fold(*p);
      }
      literal.text = static_cast<uint16_t>(start);
      literal.length = static_cast<uint16_t>(text.size() - start);
      const uint64_t mask = text_mask(std::string_view(text).substr(start));
      // A group needs only what all its alternatives need.
      if (group_left > 0) {
        group_mask &= mask;
        if (--group_left == 0)
          needed |= group_mask;
      } else {
        needed |= mask;
      }
      literals.push_back(literal);
    }
    return needed;
  }

  // The blob; empty when it would not fit.
  std::string bytes() const {
    const size_t texts_at = sizeof(blob_head) + literals.size() * 8;
    const size_t size = (texts_at + text.size() + 7) / 8 * 8;
    if (literals.size() > UINT8_MAX || size > fd_window::BLOCK)
      return {};
    std::string blob(size, '\0');
    for (size_t j = 0; j < literals.size(); ++j) {
      blob_literal literal = literals[j];
      literal.text = static_cast<uint16_t>(literal.text + texts_at);
      std::memcpy(&blob[sizeof(blob_head) + j * 8], &literal, 8);
    }
    std::memcpy(&blob[texts_at], text.data(), text.size());
    blob_head head{};
    head.count = static_cast<uint8_t>(literals.size());
    std::memcpy(&blob[0], &head, sizeof head);
    head.check = blob_check(blob.data() + 4, size - 4);
    std::memcpy(&blob[0], &head, sizeof head);
    return blob;
  }
};

bool found(const blob_literal &literal, const char *blob,
           std::string_view folded) {
  if (literal.where & LITERAL_LAST_DIGIT)
    return !folded.empty() && folded.back() >= '0' && folded.back() <= '9';
  const std::string_view text(blob + literal.text, literal.length);
  if ((literal.where & LITERAL_AT_END) && !folded.ends_with(text))
    return false;
  if (literal.where & LITERAL_AT_START)
    return folded.starts_with(text);
  if (literal.where & LITERAL_AT_END)
    return true;
  return folded.find(text) != std::string_view::npos;
}

// The top-level alternatives of a pattern the prefilter took (so its
// brackets and groups are well formed).
std::vector<std::string> top_alternatives(const char *pattern) {
  std::vector<std::string> alternatives;
  int depth = 0;
  const char *start = pattern, *p = pattern;
  while (*p) {
    if (*p == '\\' && p[1]) {
      p += 2;
      continue;
    }
    if (*p == '[') {
      p += p[1] == '^' ? 2 : 1;
      if (*p == ']')
        ++p;
      while (*p && *p != ']')
        p += p[0] == '[' && p[1] == ':' && std::strstr(p, ":]")
                 ? std::strstr(p, ":]") + 2 - p
                 : 1;
      p += *p != '\0';
      continue;
    }
    if (*p == '(')
      ++depth;
    else if (*p == ')')
      --depth;
    else if (*p == '|' && depth == 0) {
      alternatives.emplace_back(start, p);
      start = p + 1;
    }
    ++p;
  }
  alternatives.emplace_back(start, p);
  return alternatives;
}

} // namespace

void pattern_index::add(uint32_t number, uint32_t offset, const char *line,
                        size_t length) {
  pattern_index_line entry{};
  entry.offset = offset;
  entry.number = number;
  entry.length = static_cast<uint16_t>(length);
  entry.blob = static_cast<uint32_t>(built_blobs_.size());
  pattern_literals literals;
  if (read_pattern_literals(line, &literals)) {
    blob_builder blob;
    if (literals.count > 0) {
      entry.mask = blob.add(literals);
    } else {
      // "A|B" matches where A or B does: it cannot match when no
      // alternative can, each read as a pattern of its own.
      const std::vector<std::string> alternatives = top_alternatives(line);
      entry.mask = ~uint64_t{0};
      for (size_t i = 0; alternatives.size() > 1 && i < alternatives.size();
           ++i) {
        if (!read_pattern_literals(alternatives[i].c_str(), &literals) ||
            literals.count == 0) {
          blob = {};
          break;
        }
        if (i > 0)
          blob.literals.push_back({0, 0, LITERAL_NEXT_ALTERNATIVE, 0, 0});
        entry.mask &= blob.add(literals);
      }
    }
    std::string bytes = blob.bytes();
    if (bytes.empty() || blob.literals.empty()) {
      bytes = blob_builder{}.bytes();
      entry.mask = 0;
    }
    entry.blob_length = static_cast<uint16_t>(bytes.size());
    built_blobs_ += bytes;
  }
  built_lines_.push_back(entry);
  lines_ = built_lines_;
}

bool pattern_index::load(const std::string &path, const struct stat &source) {
  lines_ = {};
  loaded_.reset();
  int64_t size = 0;
  file_.reset(open_regular(path.c_str(), O_RDONLY, INDEX_FILE_MAX, &size));
  index_header header;
  if (!file_.valid() || size < int64_t{sizeof header} || size % 8 != 0 ||
      !fd_read_all(file_.get(), &header, sizeof header) ||
      !same_file(header, header_for(source)) ||
      uint64_t(size) !=
          sizeof header + uint64_t{header.lines} * sizeof(pattern_index_line) +
              header.blob_size) {
    file_.reset();
    return false;
  }
  // The header and the lines; the literals are read when needed.
  const size_t lines_size = header.lines * sizeof(pattern_index_line);
  const size_t words = (sizeof header + lines_size) / 8;
  std::unique_ptr<uint64_t[]> buffer(new (std::nothrow) uint64_t[words]);
  if (!buffer ||
      !fd_read_all(file_.get(), buffer.get() + sizeof header / 8, lines_size)) {
    file_.reset();
    return false;
  }
  const uint64_t stored = header.checksum;
  header.checksum = 0;
  std::memcpy(buffer.get(), &header, sizeof header);
  const auto *lines = reinterpret_cast<const pattern_index_line *>(
      buffer.get() + sizeof header / 8);
  std::span<const pattern_index_line> line_span(lines, header.lines);
  // Past the checksum, every offset is checked where it is used: a line
  // that cannot be read is read as a file that cannot be, literals that
  // cannot be read leave their line to be compiled.
  if (checksum(buffer.get(), words) != stored) {
    file_.reset();
    return false;
  }
  loaded_ = std::move(buffer);
  lines_ = line_span;
  blobs_at_ = sizeof header + lines_size;
  window_.reset(file_.get());
  return true;
}

bool pattern_index::save(const std::string &path,
                         const struct stat &source) const {
  index_header header = header_for(source);
  header.lines = static_cast<uint32_t>(lines_.size());
  header.blob_size = static_cast<uint32_t>(built_blobs_.size());
  const size_t lines_size = lines_.size_bytes();
  const size_t size = sizeof header + lines_size + built_blobs_.size();
  if (int64_t(size) > INDEX_FILE_MAX || built_blobs_.size() > UINT32_MAX)
    return false;
  std::unique_ptr<uint64_t[]> words(new (std::nothrow) uint64_t[size / 8]);
  if (!words)
    return false;
  char *out = reinterpret_cast<char *>(words.get());
  std::memcpy(out, &header, sizeof header);
  if (lines_size > 0)
    std::memcpy(out + sizeof header, lines_.data(), lines_size);
  std::memcpy(out + sizeof header + lines_size, built_blobs_.data(),
              built_blobs_.size());
  header.checksum = checksum(words.get(), (sizeof header + lines_size) / 8);
  std::memcpy(out, &header, sizeof header);

  // A name of this process's own, so that runs at once do not mix their
  // writes; the rename makes the whole file appear at once.
  const std::string temporary = path + "." + std::to_string(getpid());
  (void)unlink(temporary.c_str());
  unique_fd fd(open(temporary.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644));
  if (!fd.valid())
    return false;
  const bool written = fd_write_all(fd.get(), out, size) &&
                       fd_close(fd.release()) &&
                       rename(temporary.c_str(), path.c_str()) == 0;
  if (!written)
    (void)unlink(temporary.c_str());
  return written;
}

bool pattern_index::lacks_literal(const pattern_index_line &line,
                                  std::string_view folded) {
  if (line.blob_length < sizeof(blob_head))
    return false;
  const char *blob = loaded_
                         ? window_.get(blobs_at_ + line.blob, line.blob_length)
                         : built_blobs_.data() + line.blob;
  blob_head head;
  if (!blob)
    return false;
  std::memcpy(&head, blob, sizeof head);
  // Literals that fail their check, or reach past their blob: the line is
  // compiled.
  if (head.check != blob_check(blob + 4, line.blob_length - 4u) ||
      sizeof head + head.count * sizeof(blob_literal) > line.blob_length ||
      head.count == 0)
    return false;
  blob_literal literal[UINT8_MAX];
  std::memcpy(literal, blob + sizeof head, head.count * sizeof(blob_literal));
  for (size_t j = 0; j < head.count; ++j)
    if (size_t{literal[j].text} + literal[j].length > line.blob_length ||
        (literal[j].where == LITERAL_ONE_OF &&
         (literal[j].alternatives == 0 ||
          j + literal[j].alternatives >= head.count)))
      return false;

  bool lacking = false; // the current alternative lacks a literal
  for (size_t j = 0; j < head.count; ++j) {
    if (literal[j].where == LITERAL_NEXT_ALTERNATIVE) {
      if (!lacking)
        return false;
      lacking = false;
    } else if (lacking) {
      continue;
    } else if (literal[j].where == LITERAL_ONE_OF) {
      bool one_found = false;
      const size_t last = j + literal[j].alternatives;
      while (j < last)
        if (found(literal[++j], blob, folded))
          one_found = true;
      lacking = !one_found;
    } else {
      lacking = !found(literal[j], blob, folded);
    }
  }
  return lacking;
}

std::string pattern_index_path(const char *file) {
  if (!file)
    return {};
  const char *slash = std::strrchr(file, '/');
  const std::string_view base = slash ? slash + 1 : file;
  if (base.empty() || base == "." || base == ".." || base.size() > 200)
    return {};
  std::string path(PATTERN_INDEX_FOLDER);
  path += '/';
  path += base;
  path += ".index";
  return path;
}

uint64_t pattern_subject_mask(std::string_view folded) {
  return text_mask(folded);
}
