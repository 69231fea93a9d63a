// pattern_index: what the prefilter (pattern_prefilter.h) learns from each
// line of a pattern file, kept so that a run looks at a long file's lines in
// a few instructions each instead of reading and scanning them all.
//
// For each pattern line (comments and empty lines are not in it) one 64-bit
// word: in its low PATTERN_MASK_BITS bits the characters its required
// literals need (0 for a line that is always compiled), so that most lines
// are passed over by one AND against the subject's mask, and in the rest
// where its block starts. A line's block (read only for the few lines that
// pass the mask) holds its number, its offset and length in the file,
// whether the prefilter took it (it surely compiles) and its literals
// (folded to lower case, escapes removed), with a checksum of its own. A
// line is passed over when pattern_cannot_match() would pass it over, and
// also when it is "A|B..." at its top level and each alternative, read as a
// pattern of its own, would be.
//
// Saved as a file (PATTERN_INDEX_FOLDER/<basename of the file>.index), the
// index is bound to the pattern file by a header holding the file's device,
// inode, size and the nanoseconds of its last change (mtime and ctime), a
// magic number, a format version and a checksum of the header and the
// lines' words. A file that is missing, short, too long, of another
// version or file, or whose checksum is wrong, is not used; a block that
// cannot be read, fails its checksum or reaches out of its table tells the
// caller that the index fails from that line on. Every offset is checked
// where it is used: no index, however made, makes a run read out of bounds.
//
//   index.add(number, offset, line, length)
//                            the next pattern line (a line of the file
//                            without its newline, no NUL in it).
//   index.load(path, source, mask)
//                            reads and checks the saved index of the file
//                            whose fstat is `source`, noting the lines that
//                            a subject of that mask may match; false (the
//                            index left empty) when it is not usable as
//                            above.
//   index.save(path, source) writes it through a temporary file in the same
//                            folder and a rename; false, nothing left
//                            behind, on any failure (no folder, read-only,
//                            full disk).
//   index.lines()            the number of pattern lines.
//   index.next(i, mask)      the first line from i on that a subject of the
//                            mask may match (a loaded index: of load's mask);
//                            lines() when there is none.
//   index.look(i, folded, &place)
//                            passed_over when line i surely compiles and
//                            cannot match the folded subject; compile, with
//                            the line's place, when it is to be compiled;
//                            damaged when its block is (then the file's own
//                            text must answer from this line on).
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
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

inline constexpr const char *PATTERN_INDEX_FOLDER = "/var/cache/corvane";
// A smaller pattern file is read whole at less cost than its index.
inline constexpr int64_t PATTERN_INDEX_MIN_FILE = 4096;
inline constexpr int PATTERN_MASK_BITS = 40;

// Of a literal of the index, besides pattern_literal_where: the literals
// after it are those of the line's next top-level alternative.
inline constexpr uint8_t LITERAL_NEXT_ALTERNATIVE = 128;

// Where a pattern line stands in its file.
struct pattern_line_place {
  uint32_t number; // the line's number in the file
  uint32_t offset; // of the line in the file
  uint32_t length; // without the newline
};

enum class pattern_look { passed_over, compile, damaged };

class pattern_index {
public:
  void add(uint32_t number, uint32_t offset, const char *line, size_t length);
  [[nodiscard]] bool load(const std::string &path, const struct stat &source,
                          uint64_t mask);
  [[nodiscard]] bool save(const std::string &path,
                          const struct stat &source) const;

  size_t lines() const { return lines_; }
  size_t next(size_t i, uint64_t mask) const;
  pattern_look look(size_t i, std::string_view folded,
                    pattern_line_place *place);

private:
  // A line that may match: its number among the lines, and its block's
  // offset in the table of blocks.
  struct candidate {
    uint32_t line;
    uint32_t block;
  };

  // The first candidate from line i on; null when there is none.
  const candidate *candidate_from(size_t i) const;
  // Drops a file being loaded; false.
  bool refuse();

  // Notes the lines among `count` words, the first line's `line`, whose
  // words the mask does not refuse.
  void note_candidates(size_t line, const char *words, size_t count,
                       uint64_t refused);

  // What add() builds: a word a line and the table of blocks.
  std::vector<uint64_t> built_words_;
  std::vector<size_t> built_at_;
  std::string built_blocks_;
  // What load() keeps: the lines that pass its mask, and the file, whose
  // blocks are read when they are needed.
  std::vector<candidate> candidates_;
  unique_fd file_;
  size_t blocks_at_ = 0, blocks_size_ = 0;
  fd_window window_;

  size_t lines_ = 0;
};

std::string pattern_index_path(const char *file);
uint64_t pattern_subject_mask(std::string_view folded);
