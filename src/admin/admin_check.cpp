#include "admin/admin_check.h"

#include "admin/admin_lists.h"
#include "admin/admin_senders.h"
#include "admin/admin_user.h"
#include "engine/counters.h"
#include "engine/list_files.h"
#include "engine/rule_registry.h"
#include "frame/control_files.h"
#include "lookup/ipr_maps.h"
#include "lookup/regex_lists.h"
#include "rules/catalogue.h"
#include "rules/custom_notice.h"
#include "util/fd_io.h"
#include "util/fd_lines.h"
#include "util/printable.h"
#include "util/raii.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <resolv.h>
#include <string>
#include <sys/shm.h>
#include <unistd.h>
#include <utility>
#include <vector>

const char ADMIN_CHECK_USAGE[] =
    "  corvane-admin check [--user U]       read every file as corvane-spp "
    "does,\n"
    "                                       as its user, and report what it "
    "would\n"
    "                                       pass over or fail on (exit 1 on "
    "errors)\n";

namespace {

constexpr const char *RESOLVER_CONF = "/etc/resolv.conf";
constexpr const char *LOG_FOLDER = "/var/log/corvane";

struct findings {
  std::string user; // who the files are read as, for messages
  int errors = 0, warnings = 0;
};

findings found;

void report(bool error, const char *path, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

void report(bool error, const char *path, int line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (line > 0)
    std::printf("%s:%d: ", path, line);
  else
    std::printf("%s: ", path);
  std::printf("%s: %s\n", error ? "error" : "warning", printable(text).c_str());
  // Out before a pattern's trial child (admin_lists) can inherit it.
  std::fflush(stdout);
  ++(error ? found.errors : found.warnings);
}

// Reports why the plug-in cannot read the file, unless it is missing.
void report_unopened(const char *path) {
  const int error = errno;
  if (error != ENOENT) {
    if (error == EINVAL)
      report(true, path, 0, "is no regular file; the plug-in does not read it");
    else if (error == EFBIG)
      report(true, path, 0,
             "is larger than %lld bytes; the plug-in does "
             "not read it",
             static_cast<long long>(LIST_FILE_MAX));
    else
      report(true, path, 0, "cannot be read by %s: %s", found.user.c_str(),
             std::strerror(error));
  }
}

// The file as the plug-in opens it, its size in *size; invalid when it is
// missing (nothing to report) or cannot be read (reported).
unique_fd open_as_plugin(const char *path, int64_t *size = nullptr) {
  int64_t unused = 0;
  unique_fd fd(
      open_regular(path, O_RDONLY, LIST_FILE_MAX, size ? size : &unused));
  if (!fd.valid())
    report_unopened(path);
  return fd;
}

// Calls visit(number, text) for each line of a list or switch file that the
// plug-in reads, with a null text for a line it skips as too long; warns of
// lines past the 500th. The lines are read first and the file closed, so
// that no child process that a visit starts shares its offset.
template <typename Visit> void walk_list(const char *path, Visit visit) {
  std::vector<std::pair<bool, std::string>> lines;
  int number = 0;
  {
    int64_t size = 0;
    const unique_fd fd = open_as_plugin(path, &size);
    if (!fd.valid())
      return;
    fd_lines file(fd.get(), size);
    char *line;
    for (line_read got; (got = read_list_line(file, &line)) != line_read::end;)
      if (++number <= MAX_LIST_LINES)
        lines.emplace_back(got == line_read::taken,
                           got == line_read::taken ? line : "");
  }
  for (size_t i = 0; i < lines.size(); ++i)
    visit(static_cast<int>(i + 1),
          lines[i].first ? lines[i].second.c_str() : nullptr);
  if (number > MAX_LIST_LINES)
    report(false, path, MAX_LIST_LINES + 1,
           "the file has %d lines; the plug-in reads only the first %d", number,
           MAX_LIST_LINES);
}

void check_lists() {
  for (int id = FROM_WHITELIST; id <= BLOCKED_FROM; ++id) {
    const char *path = list_file_path(id);
    walk_list(path, [&](int number, const char *entry) {
      std::string why;
      if (!entry)
        report(true, path, number,
               "a line of 1023 bytes or more is skipped by the plug-in");
      else if (*entry && list_entry_problem(id, entry, why))
        report(why.find("blanks at its ends") == std::string::npos, path,
               number, "%s", why.c_str());
    });
  }
}

bool is_rule(const char *name) {
  for (const rule_desc *rule = builtin_rules; rule->name; ++rule)
    if (std::strcmp(rule->name, name) == 0)
      return true;
  return false;
}

void check_switches() {
  for (const char *path : {RULES_ENABLED_PATH, RULES_DISABLED_PATH})
    walk_list(path, [&](int number, const char *name) {
      if (!name)
        report(true, path, number,
               "a line of 1023 bytes or more is skipped by the plug-in");
      else if (*name && !is_rule(name))
        report(true, path, number,
               "'%s' is no rule name (names are exact, lower case); the "
               "plug-in ignores it",
               name);
    });
  walk_list(IPR_ENABLED_PATH, [&](int number, const char *name) {
    if (!name || !*name)
      return;
    const std::string map = std::string(config.ipr_cache_dir) + "/" + name;
    unique_fd fd(open_regular(map.c_str(), O_RDONLY, 0));
    const int error = errno;
    const char *problem = fd.valid() ? ipr_map_problem(fd.get()) : nullptr;
    if (!fd.valid() && error == ENOENT)
      report(true, IPR_ENABLED_PATH, number,
             "the enabled map %s is missing; block_lists does not look in it",
             map.c_str());
    else if (!fd.valid())
      report(true, IPR_ENABLED_PATH, number,
             "the enabled map %s cannot be "
             "read by %s: %s",
             map.c_str(), found.user.c_str(),
             error == EINVAL ? "no regular file" : std::strerror(error));
    else if (problem)
      report(true, IPR_ENABLED_PATH, number,
             "the enabled map %s %s; block_lists does not answer from it",
             map.c_str(), problem);
  });
}

int report_broken_pattern(int number, const char *pattern, void *path) {
  unique_regex compiled;
  const int rc = compiled.compile(pattern, PATTERN_REGEX_FLAGS);
  if (rc != 0) {
    char why[256];
    regerror(rc, compiled.get(), why, sizeof why);
    report(true, static_cast<const char *>(path), number,
           "the pattern does not compile (%s); the plug-in passes over it",
           why);
  }
  return 0;
}

void check_patterns() {
  for (const char *path :
       {config.dsl_regex_filename, config.reverse_dns_regex_filename}) {
    if (access(path, F_OK) != 0 && errno == ENOENT) {
      report(false, path, 0,
             "is missing; the plug-in warns in syslog on "
             "every command that needs it");
      continue;
    }
    int64_t size = 0;
    const unique_fd fd = open_as_plugin(path, &size);
    if (fd.valid() && walk_pattern_lines(fd.get(), size, report_broken_pattern,
                                         const_cast<char *>(path)) < 0)
      report(true, path, 0, "cannot be read: %s", std::strerror(errno));
  }
}

void check_readable(const char *path) { (void)open_as_plugin(path); }

// The known senders' networks: each line the plug-in drops, each piece it
// skips and each later line of a domain that it never consults.
void check_restrictions() {
  const char *path = config.valid_domain_ips_filename;
  if (!open_as_plugin(path).valid())
    return;
  const heap_text text(read_whole_file(path));
  if (!text) {
    report(true, path, 0, "cannot be read: %s", std::strerror(errno));
    return;
  }
  explain_restrictions(
      text.get(), [path](int line, bool problem, const std::string &message) {
        if (problem)
          report(true, path, line, "%s", message.c_str());
      });
}

// The plug-in appends to the transaction log and updates this month's
// counter file in the log folder, creating them when missing.
void check_log_folder() {
  if (access(LOG_FOLDER, F_OK) != 0) {
    report(true, LOG_FOLDER, 0,
           "is missing (the plug-in does not create "
           "it): nothing is logged or counted");
    return;
  }
  if (access(LOG_FOLDER, W_OK | X_OK) != 0)
    report(true, LOG_FOLDER, 0, "cannot be written by %s: %s",
           found.user.c_str(), std::strerror(errno));
  const time_t now = time(nullptr);
  struct tm today;
  localtime_r(&now, &today);
  char counter[64];
  std::snprintf(counter, sizeof counter, "%s.%02d", COUNTER_FILE_BASE,
                today.tm_mon + 1);
  for (const char *path : {TRANSLOG_PATH, static_cast<const char *>(counter)})
    if (access(path, F_OK) == 0 && access(path, W_OK) != 0)
      report(true, path, 0, "cannot be written by %s: %s", found.user.c_str(),
             std::strerror(errno));
}

void check_resolver() {
  struct __res_state state {};
  if (res_ninit(&state) != 0)
    return;
  const int wait =
      resolver_wait_seconds(state.retrans, state.retry, state.nscount);
  if (wait > RESOLVER_WAIT_LIMIT)
    report(false, RESOLVER_CONF, 0,
           "one DNS query may wait %d s before it fails (timeout %d s, %d "
           "attempts, %d servers), longer than %d s; the SMTP command waits "
           "as long",
           wait, state.retrans, state.retry, state.nscount,
           RESOLVER_WAIT_LIMIT);
  res_nclose(&state);
}

void check_notice_segments() {
  for (int id = 1; id < NOTICE_COUNT; ++id) {
    const key_t key = ftok(CUSTOM_NOTICE_KEY_FILE, id);
    const int segment = key == -1 ? -1 : shmget(key, 0, 0);
    struct shmid_ds status;
    if (segment < 0 || shmctl(segment, IPC_STAT, &status) != 0 ||
        !(status.shm_perm.mode & 0002))
      continue;
    char name[32];
    std::snprintf(name, sizeof name, "custom notice %d", id);
    report(false, name, 0,
           "its shared-memory segment has mode %04o: any local user may "
           "rewrite the rejection text",
           status.shm_perm.mode & 0777);
  }
}

} // namespace

int resolver_wait_seconds(int timeout, int attempts, int servers) {
  int total = 0;
  for (int attempt = 0; attempt < attempts; ++attempt)
    for (int server = 0; server < servers; ++server) {
      int seconds = timeout << server;
      if (server > 0)
        seconds /= servers;
      total += seconds > 0 ? seconds : 1;
    }
  return total;
}

int admin_check(const admin_context &context) {
  const auto &args = context.args;
  const char *user = nullptr;
  if (args.size() == 2 && std::strcmp(args[0], "--user") == 0)
    user = args[1];
  else if (args.size() == 1 && std::strncmp(args[0], "--user=", 7) == 0)
    user = args[0] + 7;
  else if (!args.empty())
    return admin_usage_error(ADMIN_CHECK_USAGE, "check: unknown words");

  switch (become_plugin_user(user, found.user)) {
  case USER_BECOME:
    break;
  case USER_MISSING:
    found.user = "corvane-admin's user";
    std::printf("note: no user %s here: files are read as corvane-admin's "
                "user, what the plug-in's user may read is not checked\n",
                user ? user : PLUGIN_DEFAULT_USER);
    std::fflush(stdout);
    break;
  case USER_REFUSED:
    return admin_fail("check: cannot become user %s: %s", found.user.c_str(),
                      std::strerror(errno));
  }
  engine_handle handle;
  corvane_init(&handle, nullptr);
  check_readable(DEBUG_CONTROL_FILE);
  check_readable(DUMP_CORE_CONTROL_FILE);
  check_switches();
  check_lists();
  check_restrictions();
  check_patterns();
  check_log_folder();
  check_resolver();
  check_notice_segments();
  corvane_free(&handle);
  std::printf("%d error%s, %d warning%s\n", found.errors,
              found.errors == 1 ? "" : "s", found.warnings,
              found.warnings == 1 ? "" : "s");
  return found.errors ? ADMIN_FAILED : ADMIN_OK;
}
