// pattern_index: what the prefilter (pattern_prefilter.h) learns from each
// line of a pattern file, kept so that a run looks at a long file's lines in
// a few instructions each instead of reading and scanning them all.
//
// For each pattern line (comments and empty lines are not in it): its
// number, its offset and length in the file, whether the prefilter took it
// (it surely compiles), a 64-bit mask of the characters its required
// literals need, so that most lines are passed over by one AND against the
// subject's mask, and where its literals are (folded to lower case, escapes
// removed, each line's with a checksum of their own), which a run reads
// only for the few lines that pass the mask. A line is
// passed over when pattern_cannot_match() would pass it over, and also when
// it is "A|B..." at its top level and each alternative, read as a pattern
// of its own, would be.
//
// Saved as a file (PATTERN_INDEX_FOLDER/<basename of the file>.index), the
// index is bound to the pattern file by a header holding the file's device,
// inode, size and the nanoseconds of its last change (mtime and ctime), a
// magic number, a format version and a checksum of the header and the
// lines. A file that is missing, short, too long, of another version or
// file, or whose checksum is wrong, is not used; a line whose literals
// cannot be read or fail their own checksum is compiled; a line that cannot
// be read makes the pattern file unreadable. Every offset is checked where
// it is used: no index, however made, makes a run read out of bounds.
//
//   index.add(number, offset, line, length)
//                            the next pattern line (a line of the file
//                            without its newline, no NUL in it).
//   index.load(path, source) reads and checks the saved index of the file
//                            whose fstat is `source`; false (the index left
//                            empty) when it is not usable as above.
//   index.save(path, source) writes it through a temporary file in the same
//                            folder and a rename; false, nothing left
//                            behind, on any failure (no folder, read-only,
//                            full disk).
//   index.lines(), index.line(i)
//                            the pattern lines, in file order.
//   index.cannot_match(i, folded, mask)
//                            true when line i surely compiles and cannot
//                            match the folded subject whose
//                            pattern_subject_mask() is `mask`.
//   pattern_index_path(file) PATTERN_INDEX_FOLDER/<basename>.index, or ""
//                            when the file's name has no usable basename.
//   pattern_subject_mask(folded)
//                            the mask of the characters of a folded
//                            subject.
#pragma once

#include "lookup/pattern_prefilter.h"
#include "util/fd_io.h"
#include "util/raii.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

inline constexpr const char *PATTERN_INDEX_FOLDER = "/var/cache/corvane";
// A smaller pattern file is read whole at less cost than its index.
inline constexpr int64_t PATTERN_INDEX_MIN_FILE = 4096;

// Of a literal of the index, besides pattern_literal_where: the literals
// after it are those of the line's next top-level alternative.
inline constexpr uint8_t LITERAL_NEXT_ALTERNATIVE = 128;

struct pattern_index_line {
  uint64_t mask;        // characters the required literals need
  uint32_t offset;      // of the line in the pattern file
  uint32_t number;      // the line's number in the file
  uint32_t blob;        // of its literals in the table of literals
  uint16_t length;      // without the newline
  uint16_t blob_length; // 0: the prefilter did not take the line
};

class pattern_index {
public:
  void add(uint32_t number, uint32_t offset, const char *line, size_t length);
  [[nodiscard]] bool load(const std::string &path, const struct stat &source);
  [[nodiscard]] bool save(const std::string &path,
                          const struct stat &source) const;

  size_t lines() const { return lines_.size(); }
  const pattern_index_line &line(size_t i) const { return lines_[i]; }
  bool cannot_match(size_t i, std::string_view folded, uint64_t mask) {
    const pattern_index_line &at = lines_[i];
    // Most lines end here, in a few instructions.
    if (at.blob_length != 0 && (at.mask & ~mask) != 0)
      return true;
    return lacks_literal(at, folded);
  }

private:
  bool lacks_literal(const pattern_index_line &line, std::string_view folded);

  // What add() builds; load() points lines_ at its buffer instead, and
  // reads the literals of a line from the file when they are needed.
  std::vector<pattern_index_line> built_lines_;
  std::string built_blobs_;
  std::unique_ptr<uint64_t[]> loaded_;
  unique_fd file_;
  size_t blobs_at_ = 0;
  fd_window window_;

  std::span<const pattern_index_line> lines_;
};

std::string pattern_index_path(const char *file);
uint64_t pattern_subject_mask(std::string_view folded);
