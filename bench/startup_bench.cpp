// Start-up benchmark: inside the end-to-end sandbox, with a realistic
// configuration, spawns an empty static C program and the plug-in (with the
// environment of an accepted RCPT command) alternately and prints the
// per-process wall time of each and the ratio of the medians.
//
//   startup_bench [--ipr DIR] [--spam-regexes FILE] [--dyna-regexes FILE]
//                 PLUGIN EMPTY [RUNS=1000]
//
// With --ipr every file in DIR is installed as an IPR map in /var/cache/ipr
// and enabled, so that block_lists looks the client up in each (lookup_bench
// --write-maps DIR writes ten real-size maps).
// --spam-regexes and --dyna-regexes install FILE as the pattern file
// /etc/corvane/dynaregex/spam.regexes or dyna.regexes (regex_bench
// --write-patterns=FILE writes real host-name patterns).
//
// Exits non-zero only when it cannot set up or spawn; the figures are
// printed, never judged.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sandbox.h"

namespace {

constexpr int kWarmUp = 20;

struct Config {
  const char *path;
  const char *content;
};

// None of these matches the benchmark's client (192.0.2.10,
// mail.example.net, alice@example.net -> bob@example.org).
constexpr Config kConfig[] = {
    {"/etc/corvane/exempt_ips", "127.0.0.1\n198.51.100.7\n203.0.113.9\n"},
    {"/etc/corvane/exempt_users",
     "postmaster@example.org\nabuse@example.org\n*@backup.example\n"},
    {"/etc/corvane/from_whitelist",
     "newsletter@example.com\n*@partner.example\nbilling@vendor.example\n"},
    {"/etc/corvane/blocked_ips", "203.0.113.66\n198.51.100.66\n"},
    {"/etc/corvane/blocked_from",
     "spammer@bad.example\n*@junk.example\nofferz@cheap.example\n"},
    {"/etc/corvane/control/rules.enabled", ""},
    {"/etc/corvane/control/rules.disabled", ""},
};

const std::vector<std::string> kAcceptedRcptEnv = {
    "TCPREMOTEIP=192.0.2.10",        "TCPREMOTEHOST=mail.example.net",
    "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=alice@example.net",
    "SMTPRCPTTO=bob@example.org",
};

std::int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Owns the posix_spawn file actions: stdin, stdout, stderr on /dev/null.
class SpawnActions {
public:
  SpawnActions() {
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    ok_ = ok_ &&
          posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY,
                                           0) == 0 &&
          posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY,
                                           0) == 0 &&
          posix_spawn_file_actions_adddup2(&actions_, 1, 2) == 0;
  }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions &) = delete;
  SpawnActions &operator=(const SpawnActions &) = delete;
  bool ok() const { return ok_; }
  const posix_spawn_file_actions_t *get() const { return &actions_; }

private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

struct Program {
  const char *label;
  std::string path;
  std::vector<std::int64_t> ns; // one entry per timed run
  int abnormal = 0;             // runs that did not exit 0
  int last_status = 0;
};

// Spawns and reaps one process; returns its wall time in ns, or -1 with
// errno-style code in *spawn_error when it cannot be spawned.
std::int64_t time_one(Program &program, char *const *envp,
                      const SpawnActions &actions, int *spawn_error) {
  char *argv[] = {program.path.data(), nullptr};
  pid_t pid;
  std::int64_t start = now_ns();
  int rc = posix_spawn(&pid, program.path.c_str(), actions.get(), nullptr, argv,
                       envp);
  if (rc != 0) {
    *spawn_error = rc;
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *spawn_error = errno;
      return -1;
    }
  }
  std::int64_t elapsed = now_ns() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ++program.abnormal;
    program.last_status = status;
  }
  return elapsed;
}

struct Stats {
  double median_us, mean_us, p90_us;
};

Stats stats_of(std::vector<std::int64_t> ns) {
  std::sort(ns.begin(), ns.end());
  const std::size_t n = ns.size();
  double sum = 0;
  for (std::int64_t v : ns)
    sum += static_cast<double>(v);
  double median = (n % 2) ? static_cast<double>(ns[n / 2])
                          : (static_cast<double>(ns[n / 2 - 1]) +
                             static_cast<double>(ns[n / 2])) /
                                2;
  std::size_t p90_index = (n * 9 + 9) / 10 - 1; // ceil(0.9 n) - 1
  return {median / 1000.0, sum / static_cast<double>(n) / 1000.0,
          static_cast<double>(ns[std::min(p90_index, n - 1)]) / 1000.0};
}

void print_stats(const Program &program) {
  Stats s = stats_of(program.ns);
  std::printf("%-23s: median %.0f us  mean %.0f us  p90 %.0f us\n",
              program.label, s.median_us, s.mean_us, s.p90_us);
}

int usage() {
  std::fprintf(stderr, "usage: startup_bench [--ipr DIR] [--spam-regexes "
                       "FILE] [--dyna-regexes FILE] PLUGIN EMPTY "
                       "[RUNS=1000]\n");
  return 2;
}

// Copies the regular files of `dir` to /var/cache/ipr and lists their names
// in ipr.enabled; the number of maps, or -1.
int install_ipr_maps(sandbox::Sandbox &sb, const char *dir) {
  DIR *listing = opendir(dir);
  if (!listing) {
    std::fprintf(stderr, "startup_bench: %s: %s\n", dir, std::strerror(errno));
    return -1;
  }
  std::vector<std::string> names;
  while (const struct dirent *entry = readdir(listing))
    if (entry->d_type == DT_REG)
      names.push_back(entry->d_name);
  closedir(listing);
  std::sort(names.begin(), names.end());
  std::string enabled;
  for (const std::string &name : names) {
    std::string map = sb.read_file(std::string(dir) + "/" + name);
    if (!sb.write_file("/var/cache/ipr/" + name, map))
      return -1;
    enabled += name + "\n";
  }
  if (!sb.write_file("/etc/corvane/control/ipr.enabled", enabled))
    return -1;
  return static_cast<int>(names.size());
}

bool measure(
    sandbox::Sandbox &sb, Program &plugin, Program &empty, long runs,
    const char *ipr_dir,
    const std::vector<std::pair<std::string, const char *>> &pattern_files);

} // namespace

int main(int argc, char **argv) {
  const char *ipr_dir = nullptr;
  std::vector<std::pair<std::string, const char *>> pattern_files;
  while (argc >= 3) {
    if (std::strcmp(argv[1], "--ipr") == 0)
      ipr_dir = argv[2];
    else if (std::strcmp(argv[1], "--spam-regexes") == 0)
      pattern_files.emplace_back("/etc/corvane/dynaregex/spam.regexes",
                                 argv[2]);
    else if (std::strcmp(argv[1], "--dyna-regexes") == 0)
      pattern_files.emplace_back("/etc/corvane/dynaregex/dyna.regexes",
                                 argv[2]);
    else
      break;
    argc -= 2;
    argv += 2;
  }
  if (argc < 3 || argc > 4)
    return usage();
  long runs = 1000;
  if (argc == 4) {
    char *end = nullptr;
    runs = std::strtol(argv[3], &end, 10);
    if (!end || *end != '\0' || runs < 1 || runs > 10000000)
      return usage();
  }
  Program plugin{"corvane-spp (accepted)", argv[1], {}, 0, 0};
  Program empty{"empty static C program", argv[2], {}, 0, 0};
  for (const Program *p : {&plugin, &empty}) {
    if (access(p->path.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "startup_bench: %s: %s\n", p->path.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  // The benchmark spawns directly; a leak-checking wrapper has no place here.
  unsetenv(sandbox::Sandbox::kWrapperEnv);
  const std::string &reason = sandbox::unavailable_reason();
  if (!reason.empty()) {
    std::fprintf(stderr, "startup_bench: cannot make a sandbox: %s\n",
                 reason.c_str());
    return 1;
  }
  const sandbox::outcome done = sandbox::in_sandbox([&](sandbox::Sandbox &sb) {
    return measure(sb, plugin, empty, runs, ipr_dir, pattern_files) ? ""
                                                                    : "failed";
  });
  if (!done.set_up)
    std::fprintf(stderr, "startup_bench: %s\n", done.error.c_str());
  return done.set_up && done.report.empty() ? 0 : 1;
}

namespace {

// Sets up the configuration in `sb`, checks one run and times the rest;
// false when something could not be set up or spawned.
bool measure(
    sandbox::Sandbox &sb, Program &plugin, Program &empty, long runs,
    const char *ipr_dir,
    const std::vector<std::pair<std::string, const char *>> &pattern_files) {
  for (const Config &file : kConfig) {
    if (!sb.write_file(file.path, file.content))
      return false;
  }
  if (ipr_dir) {
    int maps = install_ipr_maps(sb, ipr_dir);
    if (maps < 0)
      return false;
    std::printf("IPR maps enabled: %d (from %s)\n", maps, ipr_dir);
  }
  for (const auto &[path, source] : pattern_files) {
    if (access(source, R_OK) != 0) {
      std::fprintf(stderr, "startup_bench: %s: %s\n", source,
                   std::strerror(errno));
      return false;
    }
    std::string patterns = sb.read_file(source);
    if (!sb.write_file(path, patterns))
      return false;
    std::printf("%s: %zu lines (from %s)\n", path.c_str(),
                static_cast<std::size_t>(
                    std::count(patterns.begin(), patterns.end(), '\n')),
                source);
  }

  // One captured run first, so the figures can be trusted to be of the
  // accepted path.
  sandbox::run_result check = sb.run(plugin.path, {}, kAcceptedRcptEnv);
  if (check.timed_out) {
    std::fprintf(stderr, "startup_bench: check run of %s timed out\n",
                 plugin.path.c_str());
    return false;
  }
  std::string shown_out = check.out.substr(0, 60);
  std::replace(shown_out.begin(), shown_out.end(), '\n', '|');
  std::printf(
      "check run: exit %d, signal %d, stdout \"%s\", %zu bytes stderr, %zu "
      "syslog lines\n",
      check.exit_status, check.term_signal, shown_out.c_str(), check.err.size(),
      check.log.size());
  for (const sandbox::log_line &line : check.log) {
    std::printf("  syslog <%d> %s\n", line.priority, line.text.c_str());
  }

  std::vector<std::string> env_strings = kAcceptedRcptEnv;
  std::vector<char *> envp;
  for (std::string &var : env_strings)
    envp.push_back(var.data());
  envp.push_back(nullptr);
  SpawnActions actions;
  if (!actions.ok()) {
    std::fprintf(stderr, "startup_bench: posix_spawn file actions failed\n");
    return false;
  }
  plugin.ns.reserve(static_cast<std::size_t>(runs));
  empty.ns.reserve(static_cast<std::size_t>(runs));

  std::size_t plugin_log_lines = 0;
  const long total = kWarmUp + runs;
  for (long i = 0; i < total; ++i) {
    for (Program *p : {&empty, &plugin}) {
      int spawn_error = 0;
      std::int64_t ns = time_one(*p, envp.data(), actions, &spawn_error);
      if (ns < 0) {
        std::fprintf(stderr, "startup_bench: spawning %s: %s\n",
                     p->path.c_str(), std::strerror(spawn_error));
        return false;
      }
      if (i >= kWarmUp)
        p->ns.push_back(ns);
    }
    // Keep the syslog queue short (outside the timed region).
    std::size_t drained = sb.drain_log();
    if (i >= kWarmUp)
      plugin_log_lines += drained;
  }

  std::printf("startup_bench: %ld runs each, alternating (after %d warm-up "
              "runs each)\n",
              runs, kWarmUp);
  print_stats(empty);
  print_stats(plugin);
  double ratio = stats_of(plugin.ns).median_us / stats_of(empty.ns).median_us;
  std::printf("%-23s: %.2f\n", "ratio (median)", ratio);
  std::printf("%-23s: %.2f\n", "plugin syslog lines/run",
              static_cast<double>(plugin_log_lines) /
                  static_cast<double>(runs));
  for (const Program *p : {&empty, &plugin}) {
    if (p->abnormal > 0) {
      std::printf("warning: %s (%s) did not exit 0 in %d runs (last wait "
                  "status 0x%x)\n",
                  p->label, p->path.c_str(), p->abnormal, p->last_status);
    }
  }
  return true;
}

} // namespace
