// Start-up benchmark: inside the end-to-end sandbox, for each named
// configuration, spawns an empty static C program and the plug-in (with the
// environment of an accepted RCPT command) alternately, and prints in one
// table the median, mean and 90th percentile of the per-process wall time of
// each, and each configuration's ratio: its median over the empty program's
// median (of all its runs, the one reference of the table), and, as
// "paired", over the median of the empty program's runs that alternated
// with it (which the plug-in's runs before them can slow or speed), and, as
// "p10s", its 10th percentile over the empty program's. On a virtual
// machine whose process times fall in two modes some 100 us apart, a median
// can jump from one mode to the other between runs of the benchmark; the
// 10th percentiles, both in the faster mode, move less.
//
//   startup_bench PLUGIN EMPTY [RUNS=1000]
//
// The runs of each configuration are spread over ROUNDS rounds, each of
// which installs every configuration in turn and runs it (after a few
// warm-up runs) RUNS / ROUNDS times: a spell of load on the shared machine
// then falls on every configuration alike, not on one of them.
//
// The configurations:
//   empty configuration  no file under /etc/corvane or /var/cache/corvane
//                        but what its runs write there (the maps of the
//                        others lie in /var/cache/ipr, but no list enables
//                        them, so no run opens them);
//   realistic            the lists, toggles and dyna.regexes of samples/
//                        (CORVANE_SAMPLES_DIR at build time), three enabled
//                        IPR maps (those of bench_data.h) and spam.regexes
//                        holding the patterns of the shared data's
//                        fqrdns.pcre (CORVANE_FQRDNS_TABLE);
//   ten maps             the same with ten enabled maps.
// In each, every file and folder under /etc/corvane is dated an hour back,
// as in an installation made long before its runs.
// A configuration whose data cannot be had is reported and left out.
//
// Exits non-zero only when it cannot set up or spawn; the figures are
// printed, never judged.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench_data.h"
#include "sandbox.h"

#ifndef CORVANE_FQRDNS_TABLE
#define CORVANE_FQRDNS_TABLE "fqrdns.pcre"
#endif
#ifndef CORVANE_SAMPLES_DIR
#define CORVANE_SAMPLES_DIR "samples"
#endif

namespace {

constexpr int kWarmUp = 20; // a round's first runs of a configuration
constexpr int kRounds = 10;

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
  int abnormal = 0; // runs that did not exit 0
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
  double median_us, mean_us, p10_us, p90_us;
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
  std::size_t p10_index = (n + 9) / 10 - 1;     // ceil(0.1 n) - 1
  std::size_t p90_index = (n * 9 + 9) / 10 - 1; // ceil(0.9 n) - 1
  return {median / 1000.0, sum / static_cast<double>(n) / 1000.0,
          static_cast<double>(ns[std::min(p10_index, n - 1)]) / 1000.0,
          static_cast<double>(ns[std::min(p90_index, n - 1)]) / 1000.0};
}

void print_row(const char *label, const std::vector<std::int64_t> &ns,
               double ratio, double paired, double fast) {
  Stats s = stats_of(ns);
  std::printf("%-23s %8.0f %8.0f %8.0f %8.0f %7.2f %7.2f %7.2f\n", label,
              s.median_us, s.mean_us, s.p10_us, s.p90_us, ratio, paired, fast);
}

// Copies of the programs in a folder made beside the plug-in, removed again
// at the end; the programs' paths point at them while they are made.
class fresh_copies {
public:
  fresh_copies(Program &plugin, Program &empty) {
    std::string pattern =
        std::filesystem::path(plugin.path).parent_path().string();
    pattern +=
        pattern.empty() ? "startup-bench.XXXXXX" : "/startup-bench.XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::fprintf(stderr, "startup_bench: %s: %s\n", pattern.c_str(),
                   std::strerror(errno));
      return;
    }
    folder_ = pattern;
    std::error_code error;
    for (auto [program, name] :
         {std::pair{&plugin, "corvane-spp"}, std::pair{&empty, "empty"}}) {
      const std::string copy = folder_ + "/" + name;
      if (!std::filesystem::copy_file(program->path, copy, error)) {
        std::fprintf(stderr, "startup_bench: copying %s: %s\n",
                     program->path.c_str(), error.message().c_str());
        return;
      }
      program->path = copy;
    }
    made_ = true;
  }
  ~fresh_copies() {
    std::error_code ignored;
    if (!folder_.empty())
      std::filesystem::remove_all(folder_, ignored);
  }
  fresh_copies(const fresh_copies &) = delete;
  fresh_copies &operator=(const fresh_copies &) = delete;
  bool made() const { return made_; }

private:
  std::string folder_;
  bool made_ = false;
};

int usage() {
  std::fprintf(stderr, "usage: startup_bench PLUGIN EMPTY [RUNS=1000]\n");
  return 2;
}

// What one configuration installs, and what its runs gave.
struct Configuration {
  const char *name;
  int maps; // -1: no files at all
  std::vector<std::int64_t> empty_ns, plugin_ns;
  int abnormal = 0, last_status = 0;
  size_t log_lines = 0;
  bool measured = false;
};

// Empties the plug-in's configuration folder and its index folder.
void clear_folders() {
  for (const char *folder : {"/etc/corvane", "/var/cache/corvane"}) {
    std::error_code ignored;
    for (const auto &entry :
         std::filesystem::directory_iterator(folder, ignored))
      std::filesystem::remove_all(entry.path(), ignored);
  }
}

// An installation, empty or not, was made long before its runs: dates every
// file and folder under /etc/corvane an hour back, so that the first run
// saves the pattern files' index and the small files' cache, as it does in
// service.
bool date_back_installation() {
  const struct timespec an_hour_ago[2] = {{time(nullptr) - 3600, 0},
                                          {time(nullptr) - 3600, 0}};
  std::error_code error;
  for (const auto &file :
       std::filesystem::recursive_directory_iterator("/etc/corvane", error))
    if (utimensat(AT_FDCWD, file.path().c_str(), an_hour_ago, 0) != 0)
      return false;
  return !error && utimensat(AT_FDCWD, "/etc/corvane", an_hour_ago, 0) == 0;
}

// Installs the sample configuration, the table's patterns and enables `maps`
// of the maps; false (with a message) when some of it cannot be had.
bool install_realistic(sandbox::Sandbox &sb, int maps, bool say) {
  std::error_code error;
  std::filesystem::copy(CORVANE_SAMPLES_DIR "/etc/corvane", "/etc/corvane",
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing,
                        error);
  if (error) {
    std::printf("  no sample configuration: %s\n", error.message().c_str());
    return false;
  }
  const std::vector<std::string> patterns =
      table_patterns(CORVANE_FQRDNS_TABLE);
  if (patterns.empty()) {
    std::printf("  no patterns in %s\n", CORVANE_FQRDNS_TABLE);
    return false;
  }
  std::string spam;
  for (const std::string &pattern : patterns)
    spam += pattern + "\n";
  std::string enabled;
  for (int i = 0; i < maps; ++i)
    enabled += bench_map_name(i) + "\n";
  if (!sb.write_file("/etc/corvane/dynaregex/spam.regexes", spam) ||
      !sb.write_file("/etc/corvane/control/ipr.enabled", enabled))
    return false;
  if (say)
    std::printf("  %zu patterns in spam.regexes, %d IPR maps enabled\n",
                patterns.size(), maps);
  return true;
}

bool check_run(sandbox::Sandbox &sb, const Program &plugin);
bool measure(sandbox::Sandbox &sb, Program &plugin, Program &empty, long runs,
             Configuration &configuration);

} // namespace

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4)
    return usage();
  long runs = 1000;
  if (argc == 4) {
    char *end = nullptr;
    runs = std::strtol(argv[3], &end, 10);
    if (!end || *end != '\0' || runs < 1 || runs > 10000000)
      return usage();
  }
  Program plugin{"corvane-spp (accepted)", argv[1], 0, 0};
  Program empty{"empty static C program", argv[2], 0, 0};
  for (const Program *p : {&plugin, &empty}) {
    if (access(p->path.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "startup_bench: %s: %s\n", p->path.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  // Both programs run from copies written just now, side by side: how a
  // program file came to be cached (written by the linker piece by piece,
  // or read back from the disk) changes what its pages cost to map by
  // ~0.1 of the ratio. Fresh copies put both in the state of a program
  // just installed.
  const fresh_copies copies(plugin, empty);
  if (!copies.made())
    return 1;

  // The benchmark spawns directly; a leak-checking wrapper has no place here.
  unsetenv(sandbox::Sandbox::kWrapperEnv);
  const std::string &reason = sandbox::unavailable_reason();
  if (!reason.empty()) {
    std::fprintf(stderr, "startup_bench: cannot make a sandbox: %s\n",
                 reason.c_str());
    return 1;
  }
  const sandbox::outcome done = sandbox::in_sandbox([&](sandbox::Sandbox &sb) {
    Configuration configurations[] = {
        {"empty configuration", -1, {}, {}},
        {"realistic", 3, {}, {}},
        {"ten maps", 10, {}, {}},
    };
    // The maps once, for all rounds.
    if (write_bench_maps("/var/cache/ipr", 10) != 0)
      return "cannot write the maps";
    for (int round = 0; round < kRounds; ++round) {
      const long share = runs / kRounds + (round < runs % kRounds ? 1 : 0);
      for (Configuration &configuration : configurations) {
        if (round == 0)
          std::printf("%s:\n", configuration.name);
        else if (!configuration.measured)
          continue; // left out in the first round
        clear_folders();
        if ((configuration.maps >= 0 &&
             !install_realistic(sb, configuration.maps, round == 0)) ||
            !date_back_installation()) {
          std::printf("  left out\n");
          continue;
        }
        if (round == 0 && !check_run(sb, plugin))
          return "failed";
        if (share > 0 && !measure(sb, plugin, empty, share, configuration))
          return "failed";
      }
    }
    for (const Configuration &configuration : configurations)
      if (configuration.measured)
        std::printf("%s: median %.0f us (empty program %.0f us)\n",
                    configuration.name,
                    stats_of(configuration.plugin_ns).median_us,
                    stats_of(configuration.empty_ns).median_us);

    std::printf("\nstartup_bench: %ld runs of each configuration in %d "
                "rounds, alternating with the empty program (after %d warm-up "
                "runs a round)\n",
                runs, kRounds, kWarmUp);
    std::printf("%-23s %8s %8s %8s %8s %7s %7s %7s\n", "(microseconds)",
                "median", "mean", "p10", "p90", "ratio", "paired", "p10s");
    std::vector<std::int64_t> all_empty;
    for (const Configuration &configuration : configurations)
      all_empty.insert(all_empty.end(), configuration.empty_ns.begin(),
                       configuration.empty_ns.end());
    if (all_empty.empty())
      return "nothing measured";
    const Stats empty_stats = stats_of(all_empty);
    print_row(empty.label, all_empty, 1.0, 1.0, 1.0);
    for (const Configuration &configuration : configurations) {
      if (!configuration.measured)
        continue;
      const Stats stats = stats_of(configuration.plugin_ns);
      print_row(configuration.name, configuration.plugin_ns,
                stats.median_us / empty_stats.median_us,
                stats.median_us / stats_of(configuration.empty_ns).median_us,
                stats.p10_us / empty_stats.p10_us);
    }
    for (const Configuration &configuration : configurations) {
      if (!configuration.measured)
        continue;
      std::printf("%s: %.2f syslog lines a run\n", configuration.name,
                  static_cast<double>(configuration.log_lines) /
                      static_cast<double>(configuration.plugin_ns.size()));
      if (configuration.abnormal > 0)
        std::printf("warning: %s: the plug-in did not exit 0 in %d runs (last "
                    "wait status 0x%x)\n",
                    configuration.name, configuration.abnormal,
                    configuration.last_status);
    }
    if (empty.abnormal > 0)
      std::printf("warning: %s did not exit 0 in %d runs\n", empty.path.c_str(),
                  empty.abnormal);
    return "";
  });
  if (!done.set_up)
    std::fprintf(stderr, "startup_bench: %s\n", done.error.c_str());
  else if (!done.report.empty())
    std::fprintf(stderr, "startup_bench: %s\n", done.report.c_str());
  return done.set_up && done.report.empty() ? 0 : 1;
}

namespace {

// One captured run of the installed configuration, so that the figures can
// be trusted to be of the accepted path; false when it hangs.
bool check_run(sandbox::Sandbox &sb, const Program &plugin) {
  sandbox::run_result check = sb.run(plugin.path, {}, kAcceptedRcptEnv);
  if (check.timed_out) {
    std::fprintf(stderr, "startup_bench: check run of %s timed out\n",
                 plugin.path.c_str());
    return false;
  }
  std::string shown_out = check.out.substr(0, 60);
  std::replace(shown_out.begin(), shown_out.end(), '\n', '|');
  std::printf("  check run: exit %d, signal %d, stdout \"%s\", %zu bytes "
              "stderr, %zu syslog lines\n",
              check.exit_status, check.term_signal, shown_out.c_str(),
              check.err.size(), check.log.size());
  for (const sandbox::log_line &line : check.log)
    std::printf("    syslog <%d> %s\n", line.priority, line.text.c_str());
  return true;
}

// Times `runs` runs of the installed configuration, alternating with the
// empty program, after kWarmUp untimed ones, and adds them to the
// configuration's; false when something could not be spawned.
bool measure(sandbox::Sandbox &sb, Program &plugin, Program &empty, long runs,
             Configuration &configuration) {
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
  plugin.abnormal = 0;
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
        (p == &plugin ? configuration.plugin_ns : configuration.empty_ns)
            .push_back(ns);
    }
    // Keep the syslog queue short (outside the timed region).
    std::size_t drained = sb.drain_log();
    if (i >= kWarmUp)
      configuration.log_lines += drained;
  }
  configuration.abnormal += plugin.abnormal;
  if (plugin.abnormal > 0)
    configuration.last_status = plugin.last_status;
  configuration.measured = true;
  return true;
}

} // namespace
