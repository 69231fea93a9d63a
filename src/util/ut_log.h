// ut_log: the one reporting facility of the utility library (ut_*).
//
// The library formats nothing itself: a report is handed, as one finished
// line, to the process-wide sink that the embedding program installs with
// ut_set_logger (syslog fits). Without a sink every report is dropped at
// once; the plug-in installs none.
//
//   ut_set_logger(sink)     installs the sink; null removes it.
//   ut_log_error(function, file, line, format, ...)
//                           priority 3 (LOG_ERR), "%s:%d ERROR %s(): %s"
//                           with the file, line, function and message.
//   ut_log_debug(...)       the same at priority 7 (LOG_DEBUG) with the word
//                           DEBUG, and only while VERBOSEDEBUG is set (to
//                           anything, the empty string included); looked up
//                           at every report.
//   ut_log_info(format, ...) priority 6 (LOG_INFO), format "%s" with the
//                           message, so the message is not read as a format
//                           again.
//
// A message keeps at most its first 254 characters. A null format or
// function name drops the report. Nothing is allocated, so a report can be
// made on an out-of-memory path.
//
// The library's modules report through the macros below: they pass the
// caller's function, source file and line, and they evaluate no argument
// at all while no sink is installed.
#pragma once

#include "util/log_func.h"

#include <cstring>

using ut_log_sink = log_func;

// The sink; written only by ut_set_logger.
extern ut_log_sink ut_logger;

void ut_set_logger(ut_log_sink sink);
void ut_log_error(const char *function, const char *file, int line,
                  const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void ut_log_debug(const char *function, const char *file, int line,
                  const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void ut_log_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

#define UT_ERROR(...)                                                          \
  do {                                                                         \
    if (ut_logger)                                                             \
      ut_log_error(__func__, __FILE_NAME__, __LINE__, __VA_ARGS__);            \
  } while (0)

#define UT_DEBUG(...)                                                          \
  do {                                                                         \
    if (ut_logger)                                                             \
      ut_log_debug(__func__, __FILE_NAME__, __LINE__, __VA_ARGS__);            \
  } while (0)

// An error whose message is the system's text for an error number.
#define UT_ERRNO(number) UT_ERROR("%s", std::strerror(number))
