#include "admin/admin_lists.h"

#include "engine/list_admin.h"
#include "engine/list_files.h"
#include "lookup/dns_lookup.h"
#include "util/raii.h"
#include "util/resource_limits.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

const char ADMIN_LIST_USAGE[] =
    "  corvane-admin list NAME show         the entries the plug-in reads\n"
    "  corvane-admin list NAME add ENTRY    add an entry\n"
    "  corvane-admin list NAME del ENTRY    delete an entry (case-blind)\n"
    "  corvane-admin list NAME clear        delete the whole list\n"
    "    NAME: exempt_ips, exempt_users, from_whitelist, blocked_ips,\n"
    "          blocked_from\n";

namespace {

constexpr rlim_t TRIAL_CPU_SECONDS = 1;
constexpr size_t TRIAL_MEMORY = size_t{256} << 20;
constexpr size_t TRIAL_SUBJECT_LENGTH = 250;

// The list whose file has the name `name`, or 0.
int list_named(const char *name) {
  for (int id = FROM_WHITELIST; id <= BLOCKED_FROM; ++id) {
    const char *base = std::strrchr(list_file_path(id), '/');
    if (std::strcmp(base + 1, name) == 0)
      return id;
  }
  return 0;
}

int print_entry(const char *line, void *) {
  if (*line)
    print_line_stdout(line);
  return 0;
}

bool holds_ips(int list_id) {
  return list_id == EXEMPT_IPS || list_id == BLOCKED_IPS;
}

// Four decimal numbers 0 to 255 joined by dots, without leading zeros: the
// one form of a client's address in TCPREMOTEIP, which the plug-in compares
// with an IP entry as text.
bool is_plain_dotted_quad(const char *text) {
  const char *p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.')
      return false;
    if (*p < '0' || *p > '9')
      return false;
    int value = 0, digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits)
      value = value * 10 + (*p - '0');
    if (digits > 3 || value > 255 || (digits > 1 && p[-digits] == '0'))
      return false;
  }
  return *p == '\0';
}

// What a test match in the child process found.
enum class pattern_trial { fine, invalid, too_costly, not_run };

constexpr int TRIAL_INVALID = 2;
constexpr int TRIAL_TOO_COSTLY = 3;

// Subjects an address pattern meets: a plain address, long ones, and one
// made of the entry's own characters, on which a pattern that backtracks
// over what it almost matches does so.
std::vector<std::string> trial_subjects(const char *entry) {
  std::string own;
  for (const char *p = entry; *p; ++p)
    if (!std::strchr("*\\()[]{}|^$?+", *p))
      own += *p;
  std::string cycled;
  while (!own.empty() && cycled.size() < TRIAL_SUBJECT_LENGTH)
    cycled += own;
  return {"postmaster@example.com",
          std::string(64, 'a') + "@" + std::string(185, 'b') + ".com",
          "first.middle.last-name+tag_2024@mail-relay-07.eu-west-1.outbound."
          "subdomain.example-provider.co.uk",
          cycled.substr(0, TRIAL_SUBJECT_LENGTH)};
}

// The child's part: compiles the entry as the plug-in does and matches it
// against the subjects, within TRIAL_CPU_SECONDS of processor time and
// TRIAL_MEMORY bytes more address space; a compile error's text goes to
// `report`. Never returns.
[[noreturn]] void run_trial(const char *entry, int report) {
  struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
  (void)lower_limit(RLIMIT_CPU, TRIAL_CPU_SECONDS);
  // Relative to what is mapped already: a sanitizer's shadow memory
  // reserves terabytes of address space before the first line runs. (When
  // /proc cannot tell, the time bound alone holds.) Soft and hard limit are
  // the same, so a child that ignores SIGXCPU is killed all the same.
  if (const size_t in_use = address_space_in_use())
    (void)lower_limit(RLIMIT_AS, in_use + TRIAL_MEMORY);
  int status = 0;
  {
    const std::vector<std::string> subjects = trial_subjects(entry);
    unique_regex re;
    const int rc =
        re.compile(wildcard_pattern(entry).c_str(), WILDCARD_REGEX_FLAGS);
    if (rc == REG_ESPACE) {
      status = TRIAL_TOO_COSTLY;
    } else if (rc != 0) {
      char reason[256];
      const size_t length = regerror(rc, re.get(), reason, sizeof reason);
      (void)!write(report, reason, std::min(length, sizeof reason) - 1);
      status = TRIAL_INVALID;
    } else {
      for (const std::string &subject : subjects)
        (void)re.matches(subject.c_str());
    }
  }
  _exit(status);
}

pattern_trial not_run(std::string &reason) {
  reason = std::strerror(errno);
  return pattern_trial::not_run;
}

// Runs run_trial in a child process and reads its verdict; the compile
// error's text (or why no child could run) in `reason`.
pattern_trial try_pattern(const char *entry, std::string &reason) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0)
    return not_run(reason);
  unique_fd read_end(report[0]), write_end(report[1]);
  const pid_t child = fork();
  if (child < 0)
    return not_run(reason);
  if (child == 0)
    run_trial(entry, write_end.get());
  write_end.reset();
  char buffer[256];
  ssize_t n;
  while ((n = read(read_end.get(), buffer, sizeof buffer)) != 0) {
    if (n > 0)
      reason.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR)
      break;
  }
  int status;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      return not_run(reason);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return pattern_trial::fine;
  if (WIFEXITED(status) && WEXITSTATUS(status) == TRIAL_INVALID)
    return pattern_trial::invalid;
  return pattern_trial::too_costly;
}

} // namespace

bool list_entry_problem(int list_id, const char *entry, std::string &why) {
  const size_t length = std::strlen(entry);
  if (length == 0)
    why = "an empty entry matches nothing";
  else if (std::strchr(entry, '\n'))
    why = "an entry cannot hold a line feed";
  else if (std::isspace(static_cast<unsigned char>(entry[0])) ||
           std::isspace(static_cast<unsigned char>(entry[length - 1])))
    why = "an entry with blanks at its ends never matches";
  else if (length >= LIST_LINE_BUFFER - 1)
    why = "an entry of 1023 bytes or more is skipped by the plug-in";
  else if (holds_ips(list_id) && isIPAddress(entry) != 1)
    why.append("'").append(entry).append(
        "' is no dotted-quad IPv4 address; the plug-in passes over it");
  else if (holds_ips(list_id) && !is_plain_dotted_quad(entry))
    why.append("'").append(entry).append(
        "' is not written as a client's address is (four numbers 0 to 255 "
        "without leading zeros); it never matches");
  else if (!holds_ips(list_id) && std::strchr(entry, '*')) {
    std::string reason;
    switch (try_pattern(entry, reason)) {
    case pattern_trial::fine:
      return false;
    case pattern_trial::invalid:
      why.append("'").append(entry).append("' is no valid pattern (");
      why.append(reason).append("); it would match nothing");
      break;
    case pattern_trial::too_costly:
      why.append("'").append(entry).append(
          "' is too costly: compiling and trying it took more than 1 s of "
          "processor time or 256 MiB of memory; "
          "the plug-in would stall on every command");
      break;
    case pattern_trial::not_run:
      why.append("'").append(entry).append("' could not be tried (");
      why.append(reason).append(")");
      break;
    }
  } else
    return false;
  return true;
}

int admin_list(const admin_context &context) {
  const auto &args = context.args;
  if (args.size() < 2)
    return admin_usage_error(ADMIN_LIST_USAGE,
                             "list needs a NAME and an action");
  const int id = list_named(args[0]);
  if (!id)
    return admin_usage_error(ADMIN_LIST_USAGE, "no list is named '%s'",
                             args[0]);
  const char *name = args[0];
  const char *action = args[1];
  const bool with_entry =
      std::strcmp(action, "add") == 0 || std::strcmp(action, "del") == 0;
  if (args.size() != (with_entry ? 3u : 2u) ||
      (!with_entry && std::strcmp(action, "show") != 0 &&
       std::strcmp(action, "clear") != 0))
    return admin_usage_error(ADMIN_LIST_USAGE,
                             "list %s: unknown action or wrong number of words",
                             name);

  if (std::strcmp(action, "show") == 0) {
    (void)iterate_exemption_list(id, print_entry, nullptr, context.handle);
    return ADMIN_OK;
  }
  // Admins changing lists wait for one another here, so that only a
  // program that edits a list without this tool can find its file locked
  // for longer than the list update tries it.
  std::string folder = list_file_path(id);
  folder.erase(folder.rfind('/'));
  const unique_fd lock = lock_folder(folder.c_str());
  if (!lock.valid()) {
    const int error = errno;
    return admin_fail("cannot lock the lists in %s: %s", folder.c_str(),
                      std::strerror(error));
  }
  if (std::strcmp(action, "clear") == 0) {
    (void)clear_exemption_list(id, context.handle);
    return admin_done("%s: list cleared", name);
  }
  const char *entry = args[2];
  if (std::strcmp(action, "add") == 0) {
    std::string why;
    if (!context.force && list_entry_problem(id, entry, why))
      return admin_fail("%s: refused: %s (--force adds it anyway)", name,
                        why.c_str());
    if (add_entry(id, entry, context.handle) != 0)
      return ADMIN_FAILED;
    return admin_done("%s: added '%s'", name, entry);
  }
  if (del_entry(id, entry, context.handle) != 0)
    return ADMIN_FAILED;
  return admin_done("%s: deleted '%s'", name, entry);
}
