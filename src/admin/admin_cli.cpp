#include "admin/admin_cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>

namespace {

constexpr const char *PROGRAM_NAME = "corvane-admin";

void vprint_line(std::FILE *stream, const char *prefix, const char *format,
                 va_list args) {
  char line[2048];
  std::vsnprintf(line, sizeof line, format, args);
  size_t length = std::strlen(line);
  while (length > 0 && line[length - 1] == '\n')
    line[--length] = '\0';
  std::fprintf(stream, "%s%s\n", prefix, line);
}

} // namespace

int admin_fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fflush(stdout);
  std::fprintf(stderr, "%s: ", PROGRAM_NAME);
  vprint_line(stderr, "", format, args);
  va_end(args);
  return ADMIN_FAILED;
}

int admin_usage_error(const char *usage, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "%s: ", PROGRAM_NAME);
  vprint_line(stderr, "", format, args);
  va_end(args);
  std::fprintf(stderr, "\nUsage:\n%s", usage);
  return ADMIN_USAGE;
}

void admin_warn(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "%s: ", PROGRAM_NAME);
  vprint_line(stderr, "warning: ", format, args);
  va_end(args);
}

int admin_done(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  vprint_line(stdout, "", format, args);
  vsyslog(LOG_INFO, format, copy);
  va_end(copy);
  va_end(args);
  return ADMIN_OK;
}

void admin_log(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  vsyslog(priority, format, args);
  if (LOG_PRI(priority) <= LOG_WARNING) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", PROGRAM_NAME);
    vprint_line(stderr, "", format, copy);
  }
  va_end(copy);
  va_end(args);
}

void print_line_stdout(const char *text) { std::printf("%s\n", text); }

unique_fd lock_folder(const char *dir) {
  unique_fd folder(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid())
    return folder;
  int rc;
  while ((rc = flock(folder.get(), LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0)
    folder.reset();
  return folder;
}
