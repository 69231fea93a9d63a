// corvane-spp: the qmail-spp plug-in's entry point.
//
// qmail-smtpd starts the program once per SMTP command with no arguments
// and the command's facts in the environment. The program prepares crash
// handling and syslog, reads the debug and dump_core switches, parses the
// options, builds the engine, and either shows the configuration (-s) or
// judges the command. Exit status: 0 after a check run or -s; 1 after an
// unknown option, an environment that cannot be loaded, or a crash without
// a core dump.
//
// The static release build also limits its own address space (see
// plugin_address_space_ceiling), so that one costly line of a pattern file
// cannot exhaust the mail server's memory: its compilation fails and is
// reported as a pattern that does not compile. The sanitizer builds (whose
// shadow memory reserves terabytes of address space) and the dev build that
// valgrind runs are built without the limit.

#include "engine/config_display.h"
#include "engine/rule_registry.h"
#include "frame/control_files.h"
#include "frame/load_spp_env.h"
#include "frame/verdict.h"
#include "util/plugin_log.h"
#include "util/resource_limits.h"
#include "util/small_files.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *PROGRAM_NAME = "corvane-spp";

int debug_enabled = 0;
int dump_core_enabled = 0;
int show_config_requested = 0;
char core_dir[] = "/var/cores/corvane/XXXXX";

#ifdef CORVANE_LIMIT_ADDRESS_SPACE // set by the build for the release binary
constexpr bool release_build = true;
#else
constexpr bool release_build = false;
#endif
#ifdef __SANITIZE_ADDRESS__
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

void set_core_dir(int pid) {
  size_t length = std::strlen(core_dir);
  if (length > 5)
    std::snprintf(core_dir + length - 5, 6, "%05d", pid);
}

// The signals whose default action ends the process with a core file.
constexpr int CORE_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE,  SIGILL,  SIGABRT,
                                SIGQUIT, SIGSYS, SIGTRAP, SIGXCPU, SIGXFSZ};

void on_segfault(int) {
  syslog(LOG_ERR, "internal error, segfault");
  if (dump_core_enabled) {
    // abort() below must dump the core, not come back here.
    signal(SIGABRT, SIG_DFL);
    if (mkdir(core_dir, 0700) == 0 && chdir(core_dir) == 0)
      abort();
    syslog(LOG_ERR, "unable to make dir for core dump");
  }
  closelog();
  _exit(1);
}

void install_crash_handler() {
  // Its own stack, so that a stack overflow is reported too.
  static char alternate_stack[1 << 14];
  stack_t stack{};
  stack.ss_sp = alternate_stack;
  stack.ss_size = sizeof alternate_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = on_segfault;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  // Any of them ends the run as a segmentation fault does: logged, and a
  // core file only where dump_core asks for one, never in qmail-smtpd's
  // working directory.
  for (int sig : CORE_SIGNALS)
    sigaction(sig, &action, nullptr);
}

// Writes the small-files cache when the run ends through main's return.
struct small_files_saver {
  ~small_files_saver() { (void)small_files_save(); }
};

void parse_options(int argc, char **argv) {
  int unknown = 0;
  int option;
  while ((option = getopt(argc, argv, ":st")) != -1) {
    switch (option) {
    case 's':
      show_config_requested = 1;
      break;
    case 't':
      break;
    default:
      std::fprintf(stderr, "Unrecognized option: -%c\n", optopt);
      ++unknown;
    }
  }
  if (unknown == 0)
    return;
  std::fprintf(stderr, "Usage: %s [options]\n\n", PROGRAM_NAME);
  std::fprintf(stderr, "   -s      Show config and exit.\n");
  std::fprintf(stderr,
               "\nNOTE: %s is generally meant to be run by qmail-spp with no "
               "arguments.\n",
               PROGRAM_NAME);
  std::exit(1);
}

void show_control_files() {
  std::fprintf(stderr, "Control files:\n");
  std::fprintf(stderr, "==============\n");
  std::fprintf(stderr, " - Logging to mail.debug is %senabled.\n",
               debug_enabled ? "" : "NOT ");
  std::fprintf(stderr,
               " - Core dumps (in /var/cores/corvane) are %senabled.\n\n",
               dump_core_enabled ? "" : "NOT ");
}

} // namespace

int main(int argc, char **argv) {
  const int pid = static_cast<int>(getpid());
  set_core_dir(pid);
  struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
  (void)setrlimit(RLIMIT_CORE, &unlimited);
  (void)lower_limit(RLIMIT_AS,
                    plugin_address_space_ceiling(release_build, sanitized));
  install_crash_handler();
  openlog(PROGRAM_NAME, LOG_PID, LOG_MAIL);
  plugin_log_open(PROGRAM_NAME, LOG_MAIL, pid);
  // The small list, toggle and switch files come from the cache where their
  // times say it still holds them; the run writes it anew when it read one
  // that it did not hold (see small_files.h).
  small_files_use_cache(SMALL_FILES_CACHE);
  const small_files_saver saver;
  debug_enabled = read_control_flag(DEBUG_CONTROL_FILE);
  dump_core_enabled = read_control_flag(DUMP_CORE_CONTROL_FILE);
  if (!debug_enabled)
    setlogmask(LOG_UPTO(LOG_INFO));
  parse_options(argc, argv);

  engine_handle handle;
  corvane_init(&handle, plugin_log);
  if (show_config_requested) {
    show_control_files();
    show_config(print_line_stderr, handle);
    corvane_free(&handle);
    return 0;
  }

  spp_state record = empty_state;
  record.state = STATE_RCPT;
  int rc = load_spp_env(&record);
  if (rc != 0) {
    syslog(LOG_ERR,
           "Error: Unable to load SPP variables from environment.  Return "
           "code: %d",
           rc);
    free_state(&record);
    corvane_free(&handle);
    return 1;
  }
  detect_mua(&record);
  dump_state(plugin_log, LOG_DEBUG, &record);
  (void)run_checks(handle, record);
  free_state(&record);
  corvane_free(&handle);
  return 0;
}
