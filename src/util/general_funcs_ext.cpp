#include "util/general_funcs_ext.h"

#include "util/fd_io.h"
#include "util/general_funcs.h"
#include "util/raii.h"

#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A new heap text printed from the format, or null.
heap_text printed(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

heap_text printed(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *text = nullptr;
  const int length = vasprintf(&text, format, args);
  va_end(args);
  return heap_text(length < 0 ? nullptr : text);
}

void replace(char **string, heap_text text) {
  std::free(*string);
  *string = text.release();
}

} // namespace

bool is_directory(const char *path) {
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_executable(const char *path) {
  return is_regular_file(path) && access(path, R_OK | X_OK) == 0;
}

int copy_file(const char *source, const char *destination) {
  if (!source || !*source || !destination || !*destination ||
      !is_regular_file(source))
    return 0;
  unique_file from(std::fopen(source, "rb"));
  if (!from)
    return 0;
  unique_file to(std::fopen(destination, "wb+"));
  if (!to)
    return 0;
  char block[4096];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, from.get())) > 0)
    if (std::fwrite(block, 1, got, to.get()) != got)
      return 0;
  if (std::ferror(from.get()))
    return 0;
  return std::fclose(to.release()) == 0;
}

void int_to_str(int64_t value, char **string) {
  if (!string)
    return;
  if (heap_text text = printed("%" PRId64, value))
    replace(string, std::move(text));
}

char *tmp_file_name(const char *name) {
  if (!name)
    return nullptr;
  char pid[24];
  std::snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
  return printed("%s%s.%s", "/tmp/", name, pid).release();
}

time_t start_of_day(time_t time) {
  struct tm local = {};
  if (!localtime_r(&time, &local))
    return -1;
  local.tm_sec = 0;
  local.tm_min = 0;
  local.tm_hour = 0;
  local.tm_isdst = -1; // midnight's own offset, on a day the clocks change too
  return mktime(&local);
}

int regex_extract(char **string, const char *pattern, const char *sub_pattern,
                  const char *text) {
  if (!string || !pattern || !text)
    return -1;
  unique_regex outer;
  if (outer.compile(pattern, REG_EXTENDED) != 0)
    return -1;
  regmatch_t match[1];
  if (regexec(outer.get(), text, 1, match, 0) != 0)
    return -2;
  const char *from = text + match[0].rm_so;
  size_t length = static_cast<size_t>(match[0].rm_eo - match[0].rm_so);
  if (sub_pattern) {
    unique_regex inner;
    if (inner.compile(sub_pattern, REG_EXTENDED) != 0)
      return -3;
    if (regexec(inner.get(), from, 1, match, 0) != 0)
      return -4;
    length = static_cast<size_t>(match[0].rm_eo - match[0].rm_so);
    from += match[0].rm_so;
  }
  heap_text found(strndup(from, length));
  if (!found)
    return -1;
  replace(string, std::move(found));
  return 0;
}

int regex_extract_int(uint32_t *number, const char *pattern,
                      const char *sub_pattern, const char *text) {
  if (!number)
    return -1;
  char *digits = nullptr;
  const int result = regex_extract(&digits, pattern, sub_pattern, text);
  if (result == 0)
    *number = static_cast<uint32_t>(std::strtoul(digits, nullptr, 10));
  std::free(digits);
  return result;
}

int regex_extract_str(char **string, const char *pattern,
                      const char *sub_pattern, const char *text) {
  if (!string)
    return -1;
  char *fresh = nullptr;
  if (regex_extract(&fresh, pattern, sub_pattern, text) != 0) {
    std::free(fresh);
    return -1;
  }
  replace(string, heap_text(fresh));
  return 0;
}

int run_command(const char *command) {
  if (!command)
    return -1;
  return (std::system(command) >> 8) & 0xff;
}

int remote_url_fetch(const char *program, const char *data, const char *options,
                     const char *address, char **text, int *code) {
  if (!program || !data || !options || !address || !text || !code ||
      std::strchr(data, '\''))
    return 0;
  heap_text body(tmp_file_name("ihd"));
  heap_text headers(tmp_file_name("ihh"));
  if (!body || !headers)
    return 0;
  heap_text command =
      printed("%s %s -d %c%s%c -o %s -D %s %s", program, options, '\'', data,
              '\'', body.get(), headers.get(), address);
  if (!command)
    return 0;
  scope_exit remove_files([&] {
    unlink(body.get());
    unlink(headers.get());
  });
  const int status = run_command(command.get());
  if (status != 0) {
    replace(text, printed("Fatal error executing remote url fetch. Exit "
                          "code: [%d]",
                          status));
    *code = 0;
    return 0;
  }
  replace(text, heap_text(read_whole_file(body.get())));
  *code = 0;
  heap_text head(read_whole_file(headers.get()));
  if (const char *space = head ? std::strchr(head.get(), ' ') : nullptr) {
    const long value = std::strtol(space + 1, nullptr, 10);
    *code = value < INT_MIN || value > INT_MAX ? 0 : static_cast<int>(value);
  }
  return 1;
}

void strip_line_ends(char *text) {
  for (; text && *text; ++text)
    if (*text == '\r' || *text == '\n')
      *text = '\0';
}

void lower_ascii(char *text) {
  for (; text && *text; ++text)
    if (*text >= 'A' && *text <= 'Z')
      *text = static_cast<char>(*text - 'A' + 'a');
}

void upper_ascii(char *text) {
  for (; text && *text; ++text)
    if (*text >= 'a' && *text <= 'z')
      *text = static_cast<char>(*text - 'a' + 'A');
}

void stderr_print(int, const char *format, ...) {
  heap_text line = printed("DEBUG[%d]: %s", static_cast<int>(getpid()),
                           format ? format : "");
  if (!line) {
    std::fputs("ERROR: stderr_print(): out of memory!\n", stderr);
    return;
  }
  size_t length = std::strlen(line.get());
  while (length > 0 && line.get()[length - 1] == '\n')
    line.get()[--length] = '\0';
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, line.get(), args);
  va_end(args);
  std::fputc('\n', stderr);
}
