#include "engine/list_admin.h"

#include "util/general_funcs.h"
#include "util/raii.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int LOCK_ATTEMPTS = 3;
// How often an update follows the list file to its replacement before it
// gives up; each replacement is another writer's finished update.
constexpr int MAX_REOPENS = 32;

constexpr const char *LOCK_FAILED =
    "Failed to update list: Could not acquire lock.";

__attribute__((format(printf, 2, 3))) void set_error(char *errbuf,
                                                     const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(errbuf, LIST_ERRBUF_SIZE, format, args);
  va_end(args);
}

int unknown_id(const engine_handle &handle, const char *function, int id) {
  if (handle.logger)
    handle.logger(LOG_WARNING, "Warning: %s() called with unknown list id [%d]",
                  function, id);
  return -1;
}

// "<path>.tmp", or null when memory runs out.
heap_text temp_path_of(const char *path) {
  char *text = nullptr;
  if (asprintf(&text, "%s.tmp", path) < 0)
    return nullptr;
  return heap_text(text);
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the list file (created when missing) and takes its flock. Returns
// 0 with `list` holding the lock on the file that is at `path` now, and its
// status in `locked`; -1 with errbuf set.
int lock_live_list(const char *path, unique_fd &list, struct stat &locked,
                   char *errbuf) {
  int failed_attempts = 0;
  for (int reopens = 0; reopens <= MAX_REOPENS; ++reopens) {
    list.reset(open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!list.valid()) {
      set_error(errbuf, "Unable to open list file: %s", std::strerror(errno));
      return -1;
    }
    while (flock(list.get(), LOCK_EX | LOCK_NB) != 0) {
      sleep(1);
      if (++failed_attempts == LOCK_ATTEMPTS) {
        set_error(errbuf, "%s", LOCK_FAILED);
        return -1;
      }
    }
    // Another writer's rename may have replaced the file while this one
    // waited; only the lock of the file at the path keeps writers apart.
    struct stat now;
    if (fstat(list.get(), &locked) == 0 && stat(path, &now) == 0 &&
        same_file(locked, now))
      return 0;
  }
  set_error(errbuf, "%s", LOCK_FAILED);
  return -1;
}

// Creates or empties a temporary file for writing. With `like`, the file
// takes that file's permission bits and, where allowed, its owner.
unique_file create_temp(const char *path, const struct stat *like) {
  unique_fd fd(
      open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd.valid())
    return nullptr;
  if (like) {
    (void)!fchown(fd.get(), like->st_uid, like->st_gid);
    (void)fchmod(fd.get(), like->st_mode & 07777);
  }
  unique_file file(fdopen(fd.get(), "w"));
  if (file)
    (void)fd.release();
  return file;
}

// Creates a temporary file of a unique name "<path>.tmp.XXXXXX" beside
// `path`, so that writers that take no lock never share one, with the
// permission bits (and, where allowed, the owner) of `like`, or those the
// umask leaves of 0666. Returns the stream, its name in `temp_path`.
unique_file create_unique_temp(const char *path, const struct stat *like,
                               std::string &temp_path) {
  temp_path.assign(path).append(".tmp.XXXXXX");
  unique_fd fd(mkostemp(temp_path.data(), O_CLOEXEC));
  if (!fd.valid())
    return nullptr;
  mode_t mode;
  if (like) {
    (void)!fchown(fd.get(), like->st_uid, like->st_gid);
    mode = like->st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  unique_file file;
  if (fchmod(fd.get(), mode) == 0)
    file.reset(fdopen(fd.get(), "w"));
  if (file)
    (void)fd.release();
  else
    unlink(temp_path.c_str());
  return file;
}

// Flushes, syncs and closes the temporary file; false (errno set) when any
// of it fails, also after an earlier failed write.
bool finish_temp(unique_file file) {
  bool ok = !std::ferror(file.get());
  int error = ok ? 0 : EIO;
  if (ok && (std::fflush(file.get()) != 0 || fsync(fileno(file.get())) != 0)) {
    ok = false;
    error = errno;
  }
  if (std::fclose(file.release()) != 0 && ok) {
    ok = false;
    error = errno;
  }
  errno = error;
  return ok;
}

bool put_line(std::FILE *file, std::string_view line) {
  return std::fwrite(line.data(), 1, line.size(), file) == line.size() &&
         std::putc('\n', file) != EOF;
}

int write_failed(char *errbuf) {
  set_error(errbuf, "Unable to write temp file: %s", std::strerror(errno));
  return 1;
}

bool equals_ignoring_case(std::string_view line, const char *entry) {
  return line.size() == std::strlen(entry) &&
         strncasecmp(line.data(), entry, line.size()) == 0;
}

// Every line of a list file, with no limit on their number or length; the
// line feed and one carriage return before it are removed, as the readers
// of list_files do. A missing file has no lines.
class list_lines {
public:
  explicit list_lines(const char *path) : file_(std::fopen(path, "r")) {
    open_error_ = file_ || errno == ENOENT ? 0 : errno;
  }
  list_lines(const list_lines &) = delete;
  list_lines &operator=(const list_lines &) = delete;
  ~list_lines() { std::free(buffer_); }

  bool next() {
    if (!file_)
      return false;
    ssize_t length = getline(&buffer_, &capacity_, file_.get());
    if (length < 0) {
      read_error_ = std::feof(file_.get()) ? 0 : (errno ? errno : EIO);
      return false;
    }
    ++count_;
    auto size = static_cast<size_t>(length);
    if (size > 0 && buffer_[size - 1] == '\n') {
      --size;
      if (size > 0 && buffer_[size - 1] == '\r')
        --size;
    }
    line_ = std::string_view(buffer_, size);
    return true;
  }
  std::string_view line() const { return line_; }
  int count() const { return count_; }
  // Reports an open or read failure in errbuf; true when there was one.
  bool failed(char *errbuf) const {
    if (open_error_)
      set_error(errbuf, "Unable to open list file: %s",
                std::strerror(open_error_));
    else if (read_error_ == ENOMEM)
      set_error(errbuf, "Out of memory.");
    else if (read_error_)
      set_error(errbuf, "Unable to read list file: %s",
                std::strerror(read_error_));
    return open_error_ || read_error_;
  }

private:
  unique_file file_;
  char *buffer_ = nullptr;
  size_t capacity_ = 0;
  std::string_view line_;
  int count_ = 0;
  int open_error_ = 0;
  int read_error_ = 0;
};

int report_update_failure(const char *function, const char *errbuf,
                          const engine_handle &handle) {
  if (handle.logger)
    handle.logger(LOG_ERR, "%s() ERROR: %s\n", function, errbuf);
  std::printf("%s() ERROR: %s\n", function, errbuf);
  return 1;
}

} // namespace

int update_list_file(const char *path, const char *entry, char *errbuf,
                     list_update_writer writer) {
  if (!path || !entry || !errbuf || !writer)
    return -1;
  unique_fd list; // closing it releases the lock
  struct stat locked;
  if (lock_live_list(path, list, locked, errbuf) != 0)
    return -1;
  heap_text temp_path = temp_path_of(path);
  if (!temp_path) {
    set_error(errbuf, "Out of memory.");
    return -1;
  }
  unique_file temp = create_temp(temp_path.get(), &locked);
  if (!temp) {
    set_error(errbuf, "Unable to open temp file: %s", std::strerror(errno));
    return -1;
  }
  int result = writer(path, temp.get(), entry, errbuf);
  if (result == 0 && !finish_temp(std::move(temp)))
    result = write_failed(errbuf);
  if (result != 0) {
    temp.reset();
    unlink(temp_path.get());
    return -1;
  }
  if (rename(temp_path.get(), path) != 0) {
    set_error(errbuf, "Unable to open list file: %s", std::strerror(errno));
    return -1;
  }
  return 0;
}

int add_list_writer(const char *path, std::FILE *temp, const char *entry,
                    char *errbuf) {
  list_lines lines(path);
  while (lines.next()) {
    if (lines.line().empty())
      continue;
    if (equals_ignoring_case(lines.line(), entry)) {
      set_error(errbuf, "Entry already exists.");
      return 1;
    }
    if (!put_line(temp, lines.line()))
      return write_failed(errbuf);
  }
  if (lines.failed(errbuf))
    return 1;
  if (lines.count() >= MAX_LIST_LINES) {
    set_error(errbuf, "File is full.");
    return 1;
  }
  return put_line(temp, entry) ? 0 : write_failed(errbuf);
}

int del_list_writer(const char *path, std::FILE *temp, const char *entry,
                    char *errbuf) {
  list_lines lines(path);
  bool left_out = false;
  while (lines.next()) {
    if (lines.line().empty())
      continue;
    if (equals_ignoring_case(lines.line(), entry)) {
      left_out = true;
      continue;
    }
    if (!put_line(temp, lines.line()))
      return write_failed(errbuf);
  }
  if (lines.failed(errbuf))
    return 1;
  if (!left_out) {
    set_error(errbuf, "Entry not found. (%s)", entry);
    return 1;
  }
  return 0;
}

int add_entry(int list_id, const char *entry, engine_handle handle) {
  const char *path = list_file_path(list_id);
  if (!path) {
    std::printf("Warning: add_entry() called with unknown list id [%d]\n",
                list_id);
    return unknown_id(handle, "add_entry", list_id);
  }
  char errbuf[LIST_ERRBUF_SIZE] = "";
  if (update_list_file(path, entry, errbuf, add_list_writer) == 0)
    return 0;
  return report_update_failure("add_entry", errbuf, handle);
}

int del_entry(int list_id, const char *entry, engine_handle handle) {
  const char *path = list_file_path(list_id);
  if (!path)
    return unknown_id(handle, "del_entry", list_id);
  char errbuf[LIST_ERRBUF_SIZE] = "";
  if (update_list_file(path, entry, errbuf, del_list_writer) == 0)
    return 0;
  return report_update_failure("del_entry", errbuf, handle);
}

int clear_exemption_list(int list_id, engine_handle handle) {
  const char *path = list_file_path(list_id);
  if (!path)
    return unknown_id(handle, "clear_exemption_list", list_id);
  (void)unlink(path);
  return 0;
}

int iterate_exemption_list(int list_id, list_line_callback callback,
                           void *context, engine_handle handle) {
  const char *path = list_file_path(list_id);
  if (!path)
    return unknown_id(handle, "iterate_exemption_list", list_id);
  if (!is_regular_file(path))
    return 0;
  return for_each_list_line(path, MAX_LIST_LINES, nullptr, callback, context);
}

int populate_list(int ipr_list_id, string_list *names, engine_handle handle) {
  const char *path = ipr_list_file_path(ipr_list_id);
  if (!path)
    return unknown_id(handle, "populate_list", ipr_list_id);
  return write_list_file(path, names);
}

int clear_ipr_lists(int ipr_list_id, engine_handle handle) {
  const char *path = ipr_list_file_path(ipr_list_id);
  if (!path)
    return unknown_id(handle, "clear_ipr_lists", ipr_list_id);
  (void)unlink(path);
  return 0;
}

int write_enabled_rules(string_list *names) {
  return write_list_file(RULES_ENABLED_PATH, names);
}

int write_disabled_rules(string_list *names) {
  return write_list_file(RULES_DISABLED_PATH, names);
}

int clear_enabled_rules() {
  (void)unlink(RULES_ENABLED_PATH);
  return 0;
}

int clear_disabled_rules() {
  (void)unlink(RULES_DISABLED_PATH);
  return 0;
}

int write_list_file(const char *path, string_list *names) {
  if (!path)
    return 1;
  struct stat old;
  std::string temp_path;
  unique_file temp = create_unique_temp(
      path, stat(path, &old) == 0 ? &old : nullptr, temp_path);
  if (!temp)
    return 1;
  bool written = true;
  for (const string_list *n = names; n && written; n = n->next)
    written = !n->value || put_line(temp.get(), n->value);
  if (!written || !finish_temp(std::move(temp)) ||
      rename(temp_path.c_str(), path) != 0) {
    temp.reset();
    unlink(temp_path.c_str());
    return 1;
  }
  return 0;
}
