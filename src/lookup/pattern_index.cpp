#include "lookup/pattern_index.h"

#include "lookup/pattern_prefilter.h"
#include "util/checksum.h"
#include "util/fd_io.h"
#include "util/raii.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint64_t INDEX_MAGIC = 0x3158444e49544150; // "PATINDX1"
constexpr uint32_t INDEX_VERSION = 3;
constexpr uint64_t MASK = (uint64_t{1} << PATTERN_MASK_BITS) - 1;
// Far above the index of any pattern file a run would read.
constexpr int64_t INDEX_FILE_MAX = int64_t{64} << 20;

struct index_header {
  uint64_t magic;
  uint32_t version;
  uint32_t lines;
  uint32_t blocks_size; // of the table of blocks, a multiple of 8
  uint32_t unused;
  uint64_t device;
  uint64_t inode;
  int64_t size;
  int64_t mtime_s;
  int64_t mtime_ns;
  int64_t ctime_s;
  int64_t ctime_ns;
  uint64_t checksum;    // of the header, with this field 0, and the words
  uint64_t unused_word; // so that the lines' words start four-word aligned
};
static_assert(sizeof(index_header) == 96);
constexpr size_t HEADER_WORDS = sizeof(index_header) / 8;

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

uint64_t char_bit(unsigned char c) {
  if (c >= 'a' && c <= 'z')
    return uint64_t{1} << (c - 'a');
  if (c >= '0' && c <= '9')
    return uint64_t{1} << (26 + c - '0');
  if (c == '.')
    return uint64_t{1} << 36;
  if (c == '-')
    return uint64_t{1} << 37;
  return uint64_t{1} << (38 + c % 2);
}

uint64_t text_mask(std::string_view text) {
  uint64_t mask = 0;
  for (char c : text)
    mask |= char_bit(static_cast<unsigned char>(c));
  return mask;
}

// A line's block, in the table of blocks: this head, `count` literals, then
// their texts; 8-byte aligned, at most fd_window::BLOCK bytes.
struct block_head {
  uint32_t check; // of the bytes after it
  uint16_t size;  // of the whole block
  uint8_t count;  // of literals
  uint8_t taken;  // the prefilter took the line: it surely compiles
  uint32_t number, offset, length; // the line's place in its file
  uint32_t unused;
};

struct blob_literal {
  uint16_t text;   // from the start of the blob
  uint16_t length; // of the folded text
  uint8_t where;   // pattern_literal_where or LITERAL_NEXT_ALTERNATIVE
  uint8_t alternatives;
  uint16_t unused;
};
static_assert(sizeof(block_head) == 24 && sizeof(blob_literal) == 8);

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
        text += pattern_fold(*p);
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

  // The block of the line; empty when it would not fit.
  std::string bytes(const pattern_line_place &place, bool taken) const {
    const size_t texts_at = sizeof(block_head) + literals.size() * 8;
    const size_t size = (texts_at + text.size() + 7) / 8 * 8;
    if (literals.size() > UINT8_MAX || size > fd_window::BLOCK)
      return {};
    char blob[fd_window::BLOCK] = {};
    for (size_t j = 0; j < literals.size(); ++j) {
      blob_literal literal = literals[j];
      literal.text = static_cast<uint16_t>(literal.text + texts_at);
      std::memcpy(blob + sizeof(block_head) + j * 8, &literal, 8);
    }
    std::memcpy(blob + texts_at, text.data(), text.size());
    block_head head{};
    head.size = static_cast<uint16_t>(size);
    head.count = static_cast<uint8_t>(literals.size());
    head.taken = taken;
    head.number = place.number;
    head.offset = place.offset;
    head.length = place.length;
    std::memcpy(blob, &head, sizeof head);
    head.check = blob_check(blob + 4, size - 4);
    std::memcpy(blob, &head, sizeof head);
    return std::string(blob, size);
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
  const pattern_line_place place{number, offset, static_cast<uint32_t>(length)};
  uint64_t mask = 0;
  blob_builder blob;
  pattern_literals literals;
  const bool taken = read_pattern_literals(line, &literals);
  if (taken && literals.count > 0) {
    mask = blob.add(literals);
  } else if (taken) {
    // "A|B" matches where A or B does: it cannot match when no
    // alternative can, each read as a pattern of its own.
    const std::vector<std::string> alternatives = top_alternatives(line);
    mask = ~uint64_t{0};
    for (size_t i = 0; alternatives.size() > 1 && i < alternatives.size();
         ++i) {
      if (!read_pattern_literals(alternatives[i].c_str(), &literals) ||
          literals.count == 0) {
        blob = {};
        break;
      }
      if (i > 0)
        blob.literals.push_back({0, 0, LITERAL_NEXT_ALTERNATIVE, 0, 0});
      mask &= blob.add(literals);
    }
  }
  std::string bytes = blob.bytes(place, taken);
  if (bytes.empty() || blob.literals.empty()) {
    bytes = blob_builder{}.bytes(place, taken);
    mask = 0;
  }
  built_words_.push_back(mask & MASK);
  built_at_.push_back(built_blocks_.size());
  built_blocks_ += bytes;
  ++lines_;
}

void pattern_index::note_candidates(size_t line, const char *words,
                                    size_t count, uint64_t refused) {
  for (size_t k = 0; k < count; ++k) {
    uint64_t word;
    std::memcpy(&word, words + k * 8, 8);
    if ((word & refused) == 0)
      candidates_.push_back({static_cast<uint32_t>(line + k),
                             static_cast<uint32_t>(word >> PATTERN_MASK_BITS)});
  }
}

bool pattern_index::refuse() {
  file_.reset();
  candidates_.clear();
  return false;
}

bool pattern_index::load(const std::string &path, const struct stat &source,
                         uint64_t mask) {
  candidates_.clear();
  lines_ = 0;
  int64_t size = 0;
  file_.reset(open_regular(path.c_str(), O_RDONLY, INDEX_FILE_MAX, &size));
  window_.reset(file_.get());
  const char *first =
      size >= int64_t{sizeof(index_header)}
          ? window_.get(0, std::min(size_t(size), fd_window::BLOCK))
          : nullptr;
  index_header header;
  if (first)
    std::memcpy(&header, first, sizeof header);
  if (!first || size % 8 != 0 || !same_file(header, header_for(source)) ||
      uint64_t(size) !=
          sizeof header + uint64_t{header.lines} * 8 + header.blocks_size)
    return refuse();
  // The words, a window at a time: the checksum over them all, and the
  // lines whose literals' characters the subject holds. A window is a
  // multiple of four words, so the checksum's lanes line up.
  static_assert(fd_window::BLOCK % 32 == 0 && HEADER_WORDS % 4 == 0);
  const size_t table = sizeof header + size_t{header.lines} * 8;
  const uint64_t refused = ~mask & MASK;
  running_checksum checksum;
  index_header unsummed = header;
  unsummed.checksum = 0;
  checksum.add(reinterpret_cast<const char *>(&unsummed), HEADER_WORDS);
  for (size_t at = 0; at < table; at += fd_window::BLOCK) {
    const size_t skip = at == 0 ? sizeof header : 0;
    const size_t n = std::min(table - at, fd_window::BLOCK) - skip;
    const char *words = window_.get(at, n + skip);
    if (!words)
      return refuse();
    words += skip;
    checksum.add(words, n / 8);
    // Four lines at a time (a word less one has its top bit set only when
    // the word, under 2^40 once masked, is 0), then the last few.
    const size_t first_line = (at + skip - sizeof header) / 8, count = n / 8;
    size_t j = 0;
    for (; j + 4 <= count; j += 4) {
      uint64_t word[4];
      std::memcpy(word, words + j * 8, sizeof word);
      if ((((word[0] & refused) - 1) | ((word[1] & refused) - 1) |
           ((word[2] & refused) - 1) | ((word[3] & refused) - 1)) >>
              63 !=
          0)
        note_candidates(first_line + j, words + j * 8, 4, refused);
    }
    note_candidates(first_line + j, words + j * 8, count - j, refused);
  }
  if (checksum.value() != header.checksum)
    return refuse();
  lines_ = header.lines;
  blocks_at_ = table;
  blocks_size_ = header.blocks_size;
  return true;
}

bool pattern_index::save(const std::string &path,
                         const struct stat &source) const {
  index_header header = header_for(source);
  header.lines = static_cast<uint32_t>(lines_);
  header.blocks_size = static_cast<uint32_t>(built_blocks_.size());
  const size_t size =
      sizeof header + built_words_.size() * 8 + built_blocks_.size();
  if (file_.valid() || int64_t(size) > INDEX_FILE_MAX ||
      built_blocks_.size() / 8 >> (64 - PATTERN_MASK_BITS) != 0)
    return false;
  std::string out(size, '\0');
  std::memcpy(out.data(), &header, sizeof header);
  for (size_t i = 0; i < built_words_.size(); ++i) {
    const uint64_t word = built_words_[i] | uint64_t{built_at_[i] / 8}
                                                << PATTERN_MASK_BITS;
    std::memcpy(out.data() + sizeof header + i * 8, &word, 8);
  }
  std::memcpy(out.data() + sizeof header + built_words_.size() * 8,
              built_blocks_.data(), built_blocks_.size());
  running_checksum checksum;
  checksum.add(out.data(), HEADER_WORDS);
  checksum.add(out.data() + sizeof header, built_words_.size());
  header.checksum = checksum.value();
  std::memcpy(out.data(), &header, sizeof header);

  return replace_file(path.c_str(), out.data(), size);
}

const pattern_index::candidate *pattern_index::candidate_from(size_t i) const {
  auto at = std::lower_bound(
      candidates_.begin(), candidates_.end(), i,
      [](const candidate &c, size_t line) { return c.line < line; });
  return at == candidates_.end() ? nullptr : &*at;
}

size_t pattern_index::next(size_t i, uint64_t mask) const {
  if (file_.valid()) {
    const candidate *at = candidate_from(i);
    return at ? at->line : lines_;
  }
  while (i < lines_ && (built_words_[i] & ~mask & MASK) != 0)
    ++i;
  return std::min(i, lines_);
}

pattern_look pattern_index::look(size_t i, std::string_view folded,
                                 pattern_line_place *place) {
  const char *block = nullptr;
  block_head head;
  if (file_.valid()) {
    const candidate *at = candidate_from(i);
    if (!at || at->line != i)
      return pattern_look::passed_over; // its mask was enough
    const size_t offset = size_t{at->block} * 8;
    const char *bytes = offset < blocks_size_
                            ? window_.get(blocks_at_ + offset, sizeof head)
                            : nullptr;
    if (bytes)
      std::memcpy(&head, bytes, sizeof head);
    if (!bytes || head.size < sizeof head || head.size % 8 != 0 ||
        offset + head.size > blocks_size_)
      return pattern_look::damaged;
    block = window_.get(blocks_at_ + offset, head.size);
  } else if (i < lines_) {
    block = built_blocks_.data() + built_at_[i];
    std::memcpy(&head, block, sizeof head);
  }
  if (!block || head.check != blob_check(block + 4, head.size - 4u))
    return pattern_look::damaged;
  *place = {head.number, head.offset, head.length};
  // Literals that reach past their block leave the line to be compiled.
  if (!head.taken || head.count == 0 ||
      sizeof head + head.count * sizeof(blob_literal) > head.size)
    return pattern_look::compile;
  auto literal = [block](size_t j) {
    blob_literal at;
    std::memcpy(&at, block + sizeof(block_head) + j * sizeof at, sizeof at);
    return at;
  };
  for (size_t j = 0; j < head.count; ++j) {
    const blob_literal at = literal(j);
    if (size_t{at.text} + at.length > head.size ||
        (at.where == LITERAL_ONE_OF &&
         (at.alternatives == 0 || j + at.alternatives >= head.count)))
      return pattern_look::compile;
  }

  bool lacking = false; // the current alternative lacks a literal
  for (size_t j = 0; j < head.count; ++j) {
    const blob_literal at = literal(j);
    if (at.where == LITERAL_NEXT_ALTERNATIVE) {
      if (!lacking)
        return pattern_look::compile;
      lacking = false;
    } else if (lacking) {
      continue;
    } else if (at.where == LITERAL_ONE_OF) {
      bool one_found = false;
      const size_t last = j + at.alternatives;
      while (j < last)
        if (found(literal(++j), block, folded))
          one_found = true;
      lacking = !one_found;
    } else {
      lacking = !found(at, block, folded);
    }
  }
  return lacking ? pattern_look::passed_over : pattern_look::compile;
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
