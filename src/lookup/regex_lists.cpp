#include "lookup/regex_lists.h"

#include "engine/rule_registry.h"
#include "lookup/pattern_index.h"
#include "lookup/pattern_prefilter.h"
#include "util/fd_io.h"
#include "util/fd_lines.h"
#include "util/plugin_log.h"
#include "util/raii.h"
#include "util/small_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <regex.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#define LIST_LOG(log, priority, ...)                                           \
  do {                                                                         \
    if (log)                                                                   \
      (log)((priority), __VA_ARGS__);                                          \
  } while (0)

namespace {

// One piece of a line: at most 1023 characters and the terminator.
constexpr int PIECE_BUFFER = 1024;

// Room for regerror's text, terminator included; longer texts are cut.
constexpr size_t ERROR_TEXT_BUFFER = 80;

// White space as the C locale has it, whatever locale is in force.
bool is_blank_char(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool is_comment(const char *line) {
  while (is_blank_char(*line))
    ++line;
  return *line == '#';
}

// Cuts a piece's newline; the length of the pattern it holds, or 0 for a
// blank or comment line.
size_t pattern_line_length(char *line) {
  size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n')
    line[--length] = '\0';
  return length == 0 || is_comment(line) ? 0 : length;
}

// The pieces of a pattern file, read from its descriptor's offset, as
// fgets would give them to a buffer of PIECE_BUFFER bytes: up to and with a
// newline, at most PIECE_BUFFER - 1 bytes; after a failed read only whole
// pieces count, as fgets drops the one the failure cut.
class pattern_pieces {
public:
  pattern_pieces(int fd, int64_t size)
      : own_(std::in_place, fd, size), file_(*own_) {}
  explicit pattern_pieces(fd_lines &file) : file_(file) {}

  // The next piece, terminated, in `line`, and its offset in the file;
  // false at the end or where a read failed.
  [[nodiscard]] bool next(char (&line)[PIECE_BUFFER], uint32_t *offset) {
    size_t length = 0;
    const char *piece = file_.next_piece(PIECE_BUFFER - 1, &length);
    if (!piece)
      return false;
    std::memcpy(line, piece, length);
    line[length] = '\0';
    *offset = static_cast<uint32_t>(read_);
    read_ += length;
    return true;
  }
  bool failed() const { return file_.failed(); }
  size_t bytes_read() const { return read_; }

private:
  std::optional<fd_lines> own_;
  fd_lines &file_;
  size_t read_ = 0;
};

// A line of the pattern file that a run compiles, terminated, in `line`;
// false when it cannot be read.
[[nodiscard]] bool read_line(int fd, const pattern_line_place &at,
                             char (&line)[PIECE_BUFFER]) {
  if (at.length >= PIECE_BUFFER)
    return false;
  ssize_t got;
  do
    got = pread(fd, line, at.length, static_cast<off_t>(at.offset));
  while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(at.length))
    return false;
  line[at.length] = '\0';
  return true;
}

bool unchanged(int fd, const struct stat &before) {
  struct stat after;
  return fstat(fd, &after) == 0 && same_file_unchanged(before, after);
}

// The pattern lines of the file, as an index.
void index_pieces(pattern_pieces &pieces, pattern_index *index) {
  uint32_t line_number = 0, offset = 0;
  char line[PIECE_BUFFER];
  while (pieces.next(line, &offset)) {
    ++line_number;
    const size_t length = pattern_line_length(line);
    if (length > 0)
      index->add(line_number, offset, line, length);
  }
}

} // namespace

char default_dslregex[] =
    "^[^.0-9]*[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}[^0-9]*.";

int walk_pattern_lines(int fd, int64_t size, pattern_visit visit,
                       void *context) {
  pattern_pieces pieces(fd, size);
  int line_number = 0;
  uint32_t offset = 0;
  char line[PIECE_BUFFER];
  while (pieces.next(line, &offset)) {
    ++line_number;
    if (pattern_line_length(line) == 0)
      continue;
    if (int stop = visit(line_number, line, context))
      return stop;
  }
  // A file that opens but cannot be read (a directory, an I/O error) is as
  // unusable as one that does not open.
  return pieces.failed() ? -1 : 0;
}

namespace {

// A pattern file, found by stat(2) and opened only when its text is read: a
// run whose saved index passes over every line never opens it.
class pattern_source {
public:
  explicit pattern_source(const char *filename) : filename_(filename) {}

  // Whether the file is one a run reads (as open_regular takes it). A file
  // that may have an index (of PATTERN_INDEX_MIN_FILE bytes or more) and
  // that every user may read is left unopened when `late`; any other is
  // opened now: an index that a run of another user saved must not answer
  // for a file that this run cannot open.
  // A short file is left unopened too where the small files' cache is on:
  // its lines come through small_file (short_file).
  [[nodiscard]] bool find(bool late) {
    constexpr mode_t READABLE = S_IRUSR | S_IRGRP | S_IROTH;
    if (!late)
      return fd() >= 0;
    if (!stat_regular(filename_, LIST_FILE_MAX, &st_))
      return false;
    return (st_.st_size >= PATTERN_INDEX_MIN_FILE &&
            (st_.st_mode & READABLE) == READABLE) ||
           (st_.st_size < PATTERN_INDEX_MIN_FILE && small_files_caching()) ||
           fd() >= 0;
  }

  // A short file found and left unopened: its lines from the small files'
  // cache, or read now. Null otherwise.
  small_file *short_file() {
    if (opened_ || st_.st_size >= PATTERN_INDEX_MIN_FILE ||
        !small_files_caching())
      return nullptr;
    opened_ = true;
    short_.emplace(filename_, LIST_FILE_MAX, &st_);
    return &*short_;
  }

  // The file's status: from its open once it is open (the file found may
  // have been replaced or changed since).
  const struct stat &st() const { return st_; }

  // The file's descriptor, opened at the first call; -1 when it cannot be.
  int fd() {
    if (!opened_) {
      opened_ = true;
      file_.reset(open_regular_stat(filename_, O_RDONLY, LIST_FILE_MAX, &st_));
    }
    return file_.get();
  }

private:
  const char *filename_;
  struct stat st_ {};
  unique_fd file_;
  std::optional<small_file> short_;
  bool opened_ = false;
};

// One call's scan of a pattern file: compiles the lines it is given, in
// file order, and keeps what they showed.
class pattern_scan {
public:
  pattern_scan(const char *filename, const char *subject, log_func log)
      : filename_(filename), subject_(subject), log_(log),
        folded_(fold_subject(subject)), mask_(pattern_subject_mask(folded_)) {}

  const std::string &folded() const { return folded_; }
  uint64_t mask() const { return mask_; }
  int result() const { return result_; }

  // Compiles the line numbered `number`; true when it matches.
  bool matches(const char *line, uint32_t number) {
    unique_regex pattern;
    int rc = pattern.compile(line, PATTERN_REGEX_FLAGS);
    if (rc != 0) {
      char error[ERROR_TEXT_BUFFER];
      regerror(rc, pattern.get(), error, sizeof error);
      LIST_LOG(log_, LOG_INFO,
               "Warning: checkRegexList(%s): regcomp(line %d): %s", filename_,
               static_cast<int>(number), error);
      result_ = -1;
      return false;
    }
    if (!pattern.matches(subject_))
      return false;
    LIST_LOG(log_, LOG_DEBUG, "checkRegexList(%s, line %d): hit [%s][%s]",
             filename_, static_cast<int>(number), subject_, line);
    result_ = 1;
    return true;
  }

  enum class stop { matched, end, unreadable, damaged };

  // The index's lines from line `*i` on, each passed over or compiled; at
  // stop::damaged, *i is the line the index fails at, or the file opened is
  // not the one of `indexed`, which the index stands for.
  stop walk(pattern_index &index, size_t *i, pattern_source &source,
            const struct stat &indexed) {
    char line[PIECE_BUFFER];
    for (*i = index.next(*i, mask_); *i < index.lines();
         *i = index.next(*i + 1, mask_)) {
      pattern_line_place place;
      const pattern_look look = index.look(*i, folded_, &place);
      if (look == pattern_look::damaged)
        return stop::damaged;
      if (look == pattern_look::passed_over)
        continue;
      const int fd = source.fd();
      if (fd < 0)
        return stop::unreadable;
      if (!same_file_unchanged(indexed, source.st()))
        return stop::damaged;
      if (!read_line(fd, place, line))
        return stop::unreadable;
      if (matches(line, place.number))
        return stop::matched;
    }
    return stop::end;
  }

private:
  const char *filename_;
  const char *subject_;
  log_func log_;
  std::string folded_;
  uint64_t mask_;
  int result_ = 0;
};

// From line i on, a long file's own text answers, through an index of it
// that is saved for the next runs when it can be. Kept out of
// checkRegexList's frame, where its buffers would cost every run stack
// pages. (A saved index's lines were read with pread: the descriptor is
// still at the start.)
[[gnu::noinline]] pattern_scan::stop
scan_indexed_text(pattern_source &source, const std::string &index_path,
                  size_t i, pattern_scan &scan, bool *read_failed) {
  const int fd = source.fd();
  const struct stat &st = source.st();
  pattern_pieces pieces(fd, st.st_size);
  pattern_index built;
  index_pieces(pieces, &built);
  if (!pieces.failed() &&
      pieces.bytes_read() == static_cast<size_t>(st.st_size) &&
      file_settled(st) && unchanged(fd, st))
    (void)built.save(index_path, st);
  const pattern_scan::stop stop = scan.walk(built, &i, source, st);
  *read_failed = pieces.failed() || stop == pattern_scan::stop::unreadable;
  return stop;
}

// A short file's lines, straight from its text: each passed over when the
// prefilter can tell, else compiled.
pattern_scan::stop scan_text(pattern_pieces &pieces, pattern_scan &scan,
                             bool *read_failed) {
  uint32_t line_number = 0, offset = 0;
  char line[PIECE_BUFFER];
  pattern_scan::stop stop = pattern_scan::stop::end;
  while (stop == pattern_scan::stop::end && pieces.next(line, &offset)) {
    ++line_number;
    if (pattern_line_length(line) != 0 &&
        !pattern_cannot_match(line, scan.folded()) &&
        scan.matches(line, line_number))
      stop = pattern_scan::stop::matched;
  }
  *read_failed = pieces.failed();
  return stop;
}

} // namespace

int checkRegexList(const char *filename, const char *subject, log_func log) {
  if (!subject)
    return -1;
  const std::string index_path = pattern_index_path(filename);
  pattern_source source(filename);
  if (!source.find(!index_path.empty())) {
    LIST_LOG(log, LOG_INFO,
             "Warning: checkRegexList(): unable to open file '%s'",
             filename ? filename : "(null)");
    return -1;
  }
  auto indexed = [&] {
    return !index_path.empty() && source.st().st_size >= PATTERN_INDEX_MIN_FILE;
  };

  // A line that provably compiles and lacks a literal the subject would
  // need is passed over uncompiled: that is what compiling it would show.
  pattern_scan scan(filename, subject, log);
  // Without a saved index, as where it fails, the text answers.
  pattern_scan::stop stop = pattern_scan::stop::damaged;
  size_t i = 0;
  pattern_index saved;
  const struct stat found = source.st();
  if (indexed() && saved.load(index_path, found, scan.mask()))
    stop = scan.walk(saved, &i, source, found);
  bool read_failed = stop == pattern_scan::stop::unreadable;
  if (small_file *file = source.short_file()) {
    if (!file->opened()) {
      read_failed = true;
    } else {
      pattern_pieces pieces(file->lines());
      stop = scan_text(pieces, scan, &read_failed);
    }
  } else if (stop == pattern_scan::stop::damaged) {
    const int fd = source.fd();
    // Nothing was compiled before the file was opened: a file replaced or
    // changed since it was found is read whole, as if it had been opened
    // first.
    if (!same_file_unchanged(found, source.st()))
      i = 0;
    if (fd < 0)
      read_failed = true;
    else if (!indexed()) {
      pattern_pieces pieces(fd, source.st().st_size);
      stop = scan_text(pieces, scan, &read_failed);
    } else
      stop = scan_indexed_text(source, index_path, i, scan, &read_failed);
  }
  if (stop == pattern_scan::stop::matched)
    return 1;
  // A file that opens but cannot be read (a directory, an I/O error) is as
  // unusable as one that does not open.
  if (read_failed) {
    LIST_LOG(log, LOG_INFO,
             "Warning: checkRegexList(): unable to open file '%s'",
             filename ? filename : "(null)");
    return -1;
  }
  return scan.result();
}

int checkDSLRegexList(const char *subject) {
  if (!config.dsl_regex_filename) {
    plugin_log(LOG_INFO, "Warning: checkDSLRegexList(): filename not set");
    return -1;
  }
  return checkRegexList(config.dsl_regex_filename, subject, plugin_log);
}

int isDSL(const char *hostname) {
  if (!hostname)
    return 0;
  int listed = checkDSLRegexList(hostname);
  if (listed == 0 || listed == 1)
    return listed;

  // Most names lack a literal of the built-in pattern: no need to compile
  // it for them.
  if (pattern_cannot_match(default_dslregex, fold_subject(hostname)))
    return 0;
  unique_regex fallback;
  int rc = fallback.compile(default_dslregex, PATTERN_REGEX_FLAGS);
  if (rc != 0) {
    char error[ERROR_TEXT_BUFFER];
    regerror(rc, fallback.get(), error, sizeof error);
    plugin_log(LOG_INFO, "Warning: isDSL(): regcomp(): %s\n", error);
    return 0;
  }
  return fallback.matches(hostname) ? 1 : 0;
}
