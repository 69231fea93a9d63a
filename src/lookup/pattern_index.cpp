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
constexpr uint32_t INDEX_VERSION = 1;
// Far above the index of any pattern file a run would read.
constexpr int64_t INDEX_FILE_MAX = int64_t{64} << 20;
constexpr uint32_t LONGEST_LINE = 1023;

struct index_header {
  uint64_t magic;
  uint32_t version;
  uint32_t lines;
  uint32_t literals;
  uint32_t text_size; // a multiple of 8
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
static_assert(sizeof(pattern_index_literal) == 8);

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

// Over 64-bit words, in independent lanes the compiler can run side by
// side: it catches a torn or damaged file, not a forged one (the folder is
// the plug-in's own, and every offset is checked besides).
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

// The literals of a line point into its text; they must not reach past it.
bool literals_fit(const pattern_index_line &line,
                  std::span<const pattern_index_literal> literals,
                  size_t text_size) {
  const size_t end = size_t{line.first_literal} + line.literal_count;
  if (end > literals.size())
    return false;
  for (size_t j = line.first_literal; j < end; ++j) {
    const pattern_index_literal &literal = literals[j];
    if (size_t{literal.text} + literal.length > text_size)
      return false;
    if (literal.where == LITERAL_ONE_OF &&
        (literal.alternatives == 0 || j + literal.alternatives >= end))
      return false;
  }
  return true;
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

// Appends the literals to the table; returns the mask of the characters
// they need.
uint64_t pattern_index::add_literals(const pattern_literals &literals) {
  uint64_t needed = 0, group_mask = 0;
  int group_left = 0;
  for (int i = 0; i < literals.count; ++i) {
    const pattern_literal &from = literals.literal[i];
    pattern_index_literal literal{};
    literal.text = static_cast<uint32_t>(built_text_.size());
    literal.where = from.where;
    if (from.where == LITERAL_ONE_OF) {
      literal.alternatives = static_cast<uint8_t>(from.alternatives);
      group_left = from.alternatives;
      group_mask = ~uint64_t{0};
      built_literals_.push_back(literal);
      continue;
    }
    for (const char *p = from.from; p < from.to; ++p) {
      if (*p == '\\')
        ++p;
      built_text_ += fold(*p);
    }
    literal.length = static_cast<uint16_t>(built_text_.size() - literal.text);
    const uint64_t mask = text_mask(
        std::string_view(built_text_).substr(literal.text, literal.length));
    // A group needs only what all its alternatives need.
    if (group_left > 0) {
      group_mask &= mask;
      if (--group_left == 0)
        needed |= group_mask;
    } else {
      needed |= mask;
    }
    built_literals_.push_back(literal);
  }
  return needed;
}

void pattern_index::add(uint32_t number, uint32_t offset, const char *line,
                        size_t length) {
  pattern_index_line entry{};
  entry.offset = offset;
  entry.number = number;
  entry.length = static_cast<uint16_t>(length);
  entry.first_literal = static_cast<uint32_t>(built_literals_.size());
  const size_t text_before = built_text_.size();
  pattern_literals literals;
  if (read_pattern_literals(line, &literals)) {
    entry.proven = 1;
    if (literals.count > 0) {
      entry.mask = add_literals(literals);
    } else {
      // "A|B" matches where A or B does: it cannot match when no
      // alternative can, each read as a pattern of its own.
      entry.mask = ~uint64_t{0};
      const std::vector<std::string> alternatives = top_alternatives(line);
      for (size_t i = 0; alternatives.size() > 1 && i < alternatives.size();
           ++i) {
        if (!read_pattern_literals(alternatives[i].c_str(), &literals) ||
            literals.count == 0 ||
            built_literals_.size() + 1 + literals.count - entry.first_literal >
                UINT8_MAX) {
          built_literals_.resize(entry.first_literal);
          built_text_.resize(text_before);
          entry.mask = 0;
          break;
        }
        if (i > 0)
          built_literals_.push_back({0, 0, LITERAL_NEXT_ALTERNATIVE, 0});
        entry.mask &= add_literals(literals);
      }
      if (alternatives.size() <= 1)
        entry.mask = 0;
    }
    entry.literal_count =
        static_cast<uint8_t>(built_literals_.size() - entry.first_literal);
  }
  built_lines_.push_back(entry);
  lines_ = built_lines_;
  literals_ = built_literals_;
  text_ = built_text_;
}

bool pattern_index::load(const std::string &path, const struct stat &source) {
  lines_ = {};
  literals_ = {};
  text_ = {};
  loaded_.reset();
  int64_t size = 0;
  unique_fd fd(open_regular(path.c_str(), O_RDONLY, INDEX_FILE_MAX, &size));
  if (!fd.valid() || size < int64_t{sizeof(index_header)} || size % 8 != 0)
    return false;
  std::unique_ptr<uint64_t[]> words(new (std::nothrow)
                                        uint64_t[size_t(size) / 8 + 1]);
  if (!words)
    return false;
  // One byte more than the size: a file that grew is not the one checked.
  const ssize_t got = pread(fd.get(), words.get(), size_t(size) + 1, 0);
  if (got != size)
    return false;
  index_header header;
  std::memcpy(&header, words.get(), sizeof header);
  const uint64_t expected_size =
      sizeof header + uint64_t{header.lines} * sizeof(pattern_index_line) +
      uint64_t{header.literals} * sizeof(pattern_index_literal) +
      header.text_size;
  if (!same_file(header, header_for(source)) ||
      expected_size != uint64_t(size) || header.text_size % 8 != 0)
    return false;
  const uint64_t stored = header.checksum;
  words[offsetof(index_header, checksum) / 8] = 0;
  if (checksum(words.get(), size_t(size) / 8) != stored)
    return false;

  const char *bytes = reinterpret_cast<const char *>(words.get());
  const auto *lines =
      reinterpret_cast<const pattern_index_line *>(bytes + sizeof header);
  const auto *literals =
      reinterpret_cast<const pattern_index_literal *>(lines + header.lines);
  std::span<const pattern_index_line> line_span(lines, header.lines);
  std::span<const pattern_index_literal> literal_span(literals,
                                                      header.literals);
  uint32_t previous = 0;
  for (const pattern_index_line &line : line_span) {
    if (line.number <= previous || line.length > LONGEST_LINE ||
        int64_t{line.offset} + line.length > source.st_size)
      return false;
    previous = line.number;
  }
  loaded_ = std::move(words);
  lines_ = line_span;
  literals_ = literal_span;
  text_ = std::string_view(
      reinterpret_cast<const char *>(literals + header.literals),
      header.text_size);
  return true;
}

bool pattern_index::save(const std::string &path,
                         const struct stat &source) const {
  index_header header = header_for(source);
  header.lines = static_cast<uint32_t>(lines_.size());
  header.literals = static_cast<uint32_t>(literals_.size());
  std::string padded_text(text_);
  padded_text.resize((padded_text.size() + 7) / 8 * 8, '\0');
  header.text_size = static_cast<uint32_t>(padded_text.size());
  const size_t size = sizeof header + lines_.size_bytes() +
                      literals_.size_bytes() + padded_text.size();
  if (int64_t(size) > INDEX_FILE_MAX)
    return false;
  std::unique_ptr<uint64_t[]> words(new (std::nothrow) uint64_t[size / 8]);
  if (!words)
    return false;
  char *out = reinterpret_cast<char *>(words.get());
  std::memcpy(out, &header, sizeof header);
  std::memcpy(out + sizeof header, lines_.data(), lines_.size_bytes());
  std::memcpy(out + sizeof header + lines_.size_bytes(), literals_.data(),
              literals_.size_bytes());
  std::memcpy(out + size - padded_text.size(), padded_text.data(),
              padded_text.size());
  header.checksum = checksum(words.get(), size / 8);
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

bool pattern_index::found(const pattern_index_literal &literal,
                          std::string_view folded) const {
  if (literal.where & LITERAL_LAST_DIGIT)
    return !folded.empty() && folded.back() >= '0' && folded.back() <= '9';
  const std::string_view text = text_.substr(literal.text, literal.length);
  if ((literal.where & LITERAL_AT_END) && !folded.ends_with(text))
    return false;
  if (literal.where & LITERAL_AT_START)
    return folded.starts_with(text);
  if (literal.where & LITERAL_AT_END)
    return true;
  return folded.find(text) != std::string_view::npos;
}

bool pattern_index::lacks_literal(const pattern_index_line &line,
                                  std::string_view folded) const {
  if (line.proven != 1 || line.literal_count == 0)
    return false;
  // Checked here, for the few lines that get this far: a line whose
  // literals are out of bounds is compiled.
  if (!literals_fit(line, literals_, text_.size()))
    return false;
  const size_t end = size_t{line.first_literal} + line.literal_count;
  bool lacking = false; // the current alternative lacks a literal
  for (size_t j = line.first_literal; j < end; ++j) {
    const pattern_index_literal &literal = literals_[j];
    if (literal.where == LITERAL_NEXT_ALTERNATIVE) {
      if (!lacking)
        return false;
      lacking = false;
    } else if (lacking) {
      continue;
    } else if (literal.where == LITERAL_ONE_OF) {
      bool one_found = false;
      const size_t last = j + literal.alternatives;
      while (j < last)
        if (found(literals_[++j], folded))
          one_found = true;
      lacking = !one_found;
    } else {
      lacking = !found(literal, folded);
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
