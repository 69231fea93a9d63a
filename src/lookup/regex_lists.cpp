#include "lookup/regex_lists.h"

#include "engine/rule_registry.h"
#include "lookup/pattern_prefilter.h"
#include "util/fd_io.h"
#include "util/raii.h"

#include <cstdio>
#include <cstring>
#include <regex.h>
#include <syslog.h>

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

constexpr int PATTERN_FLAGS = REG_EXTENDED | REG_ICASE | REG_NOSUB;

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

} // namespace

char default_dslregex[] =
    "^[^.0-9]*[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}[^0-9]*.";

int checkRegexList(const char *filename, const char *subject, log_func log) {
  if (!subject)
    return -1;
  unique_file file(fopen_regular(filename, "r", LIST_FILE_MAX));
  if (!file) {
    LIST_LOG(log, LOG_INFO,
             "Warning: checkRegexList(): unable to open file '%s'",
             filename ? filename : "(null)");
    return -1;
  }

  // A line that provably compiles and lacks a literal the subject would
  // need is passed over uncompiled: that is what compiling it would show.
  const std::string folded = fold_subject(subject);
  int result = 0;
  int line_number = 0;
  char line[PIECE_BUFFER];
  while (std::fgets(line, sizeof line, file.get())) {
    ++line_number;
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n')
      line[--length] = '\0';
    if (length == 0 || is_comment(line))
      continue;

    if (pattern_cannot_match(line, folded))
      continue;
    unique_regex pattern;
    int rc = pattern.compile(line, PATTERN_FLAGS);
    if (rc != 0) {
      char error[ERROR_TEXT_BUFFER];
      regerror(rc, pattern.get(), error, sizeof error);
      LIST_LOG(log, LOG_INFO,
               "Warning: checkRegexList(%s): regcomp(line %d): %s", filename,
               line_number, error);
      result = -1;
      continue;
    }
    if (pattern.matches(subject)) {
      LIST_LOG(log, LOG_DEBUG, "checkRegexList(%s, line %d): hit [%s][%s]",
               filename, line_number, subject, line);
      return 1;
    }
  }
  // A file that opens but cannot be read (a directory, an I/O error) is as
  // unusable as one that does not open.
  if (std::ferror(file.get())) {
    LIST_LOG(log, LOG_INFO,
             "Warning: checkRegexList(): unable to open file '%s'", filename);
    return -1;
  }
  return result;
}

int checkDSLRegexList(const char *subject) {
  if (!config.dsl_regex_filename) {
    syslog(LOG_INFO, "Warning: checkDSLRegexList(): filename not set");
    return -1;
  }
  return checkRegexList(config.dsl_regex_filename, subject, syslog);
}

int isDSL(const char *hostname) {
  if (!hostname)
    return 0;
  int listed = checkDSLRegexList(hostname);
  if (listed == 0 || listed == 1)
    return listed;

  unique_regex fallback;
  int rc = fallback.compile(default_dslregex, PATTERN_FLAGS);
  if (rc != 0) {
    char error[ERROR_TEXT_BUFFER];
    regerror(rc, fallback.get(), error, sizeof error);
    syslog(LOG_INFO, "Warning: isDSL(): regcomp(): %s\n", error);
    return 0;
  }
  return fallback.matches(hostname) ? 1 : 0;
}
