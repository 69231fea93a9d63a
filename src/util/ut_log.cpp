#include "util/ut_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <syslog.h>

constinit ut_log_sink ut_logger = nullptr;

namespace {

// The message area of one report: 256 bytes, of which 255 are written.
constexpr size_t MESSAGE_AREA = 256;
constexpr size_t MESSAGE_LIMIT = MESSAGE_AREA - 1;

// The sink receives the line's own format, with the message as an argument.
constexpr char ERROR_LINE[] = "%s:%d ERROR %s(): %s";
constexpr char DEBUG_LINE[] = "%s:%d DEBUG %s(): %s";

void report(int priority, bool debug, const char *function, const char *file,
            int line, const char *format, va_list args)
    __attribute__((format(printf, 6, 0)));

void report(int priority, bool debug, const char *function, const char *file,
            int line, const char *format, va_list args) {
  char message[MESSAGE_AREA] = {};
  std::vsnprintf(message, MESSAGE_LIMIT, format, args);
  ut_logger(priority, debug ? DEBUG_LINE : ERROR_LINE, file ? file : "", line,
            function, message);
}

} // namespace

void ut_set_logger(ut_log_sink sink) { ut_logger = sink; }

void ut_log_error(const char *function, const char *file, int line,
                  const char *format, ...) {
  if (!format || !function || !ut_logger)
    return;
  va_list args;
  va_start(args, format);
  report(LOG_ERR, false, function, file, line, format, args);
  va_end(args);
}

void ut_log_debug(const char *function, const char *file, int line,
                  const char *format, ...) {
  // The sink is tested before the environment: without one nothing is
  // reported either way, and the test is cheaper.
  if (!format || !function || !ut_logger || !std::getenv("VERBOSEDEBUG"))
    return;
  va_list args;
  va_start(args, format);
  report(LOG_DEBUG, true, function, file, line, format, args);
  va_end(args);
}

void ut_log_info(const char *format, ...) {
  if (!format || !ut_logger)
    return;
  char message[MESSAGE_AREA] = {};
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, MESSAGE_LIMIT, format, args);
  va_end(args);
  ut_logger(LOG_INFO, "%s", message);
}
