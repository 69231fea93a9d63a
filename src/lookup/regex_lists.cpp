#include "lookup/regex_lists.h"

#include "engine/rule_registry.h"
#include "util/fd_io.h"
#include "util/plugin_log.h"
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

int walk_pattern_lines(std::FILE *file, pattern_visit visit, void *context) {
  int line_number = 0;
  char line[PIECE_BUFFER];
  while (std::fgets(line, sizeof line, file)) {
    ++line_number;
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n')
      line[--length] = '\0';
    if (length == 0 || is_comment(line))
      continue;
    if (int stop = visit(line_number, line, context))
      return stop;
  }
  // A file that opens but cannot be read (a directory, an I/O error) is as
  // unusable as one that does not open.
  return std::ferror(file) ? -1 : 0;
}

namespace {

struct regex_scan {
  const char *filename, *subject;
  log_func log;
  bool broken;
};

// 1 when the pattern matches the scan's subject; a broken pattern is
// logged and the scan goes on.
int match_pattern_line(int line_number, const char *line, void *context) {
  auto &scan = *static_cast<regex_scan *>(context);
  unique_regex pattern;
  int rc = pattern.compile(line, PATTERN_REGEX_FLAGS);
  if (rc != 0) {
    char error[ERROR_TEXT_BUFFER];
    regerror(rc, pattern.get(), error, sizeof error);
    LIST_LOG(scan.log, LOG_INFO,
             "Warning: checkRegexList(%s): regcomp(line %d): %s", scan.filename,
             line_number, error);
    scan.broken = true;
    return 0;
  }
  if (!pattern.matches(scan.subject))
    return 0;
  LIST_LOG(scan.log, LOG_DEBUG, "checkRegexList(%s, line %d): hit [%s][%s]",
           scan.filename, line_number, scan.subject, line);
  return 1;
}

} // namespace

int checkRegexList(const char *filename, const char *subject, log_func log) {
  if (!subject)
    return -1;
  unique_file file(fopen_regular(filename, "r", LIST_FILE_MAX));
  regex_scan scan{filename, subject, log, false};
  const int walked =
      file ? walk_pattern_lines(file.get(), match_pattern_line, &scan) : -1;
  if (walked < 0) {
    LIST_LOG(log, LOG_INFO,
             "Warning: checkRegexList(): unable to open file '%s'",
             filename ? filename : "(null)");
    return -1;
  }
  return walked == 1 ? 1 : scan.broken ? -1 : 0;
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
