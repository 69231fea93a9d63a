// End-to-end sandbox: runs a program (normally the plug-in) inside private
// mount, IPC and network namespaces, with tmpfs over the plug-in's fixed
// paths, a private /dev and a syslog socket at /dev/log that the test reads.
//
// Requirements: root (CAP_SYS_ADMIN) and a single-threaded calling process.
// The constructor moves the *calling process* into the new namespaces; the
// destructor moves it back. Only one Sandbox may exist at a time.
#pragma once

#include "util/raii.h"

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

// One syslog datagram as received on /dev/log.
struct log_line {
  int priority = 0; // PRI & 7 (LOG_EMERG .. LOG_DEBUG); -1 if unparseable
  int facility = 0; // PRI & ~7 (LOG_MAIL == 16); -1 if unparseable
  std::string
      text; // message after "ident[pid]: " (whole datagram if unparseable)
  std::string ident; // "ident" part of the header, empty if absent
  int pid = 0;       // "[pid]" part of the header, 0 if absent
};

struct run_result {
  int exit_status = -1;   // WEXITSTATUS, or -1 if killed / not run
  int term_signal = 0;    // signal number if killed
  bool timed_out = false; // killed by the harness after the run timeout
  // A wrapper (CORVANE_E2E_WRAPPER) was in use and exited with
  // Sandbox::kWrapperErrorExit (valgrind --error-exitcode=99).
  bool wrapper_failed = false;
  std::string out, err;      // full stdout / stderr of the child
  std::vector<log_line> log; // syslog datagrams received during the run
  // Why the harness could not run or wait for the program (exec failure,
  // timeout, sandbox not set up); empty on a normal run.
  std::string harness_error;

  // True if some log line's text equals `text` exactly.
  bool logged(std::string_view text) const;
  // True if some log line at `priority` has text equal to `text`.
  bool logged_at(int priority, std::string_view text) const;
  // Texts of the log lines at `priority`, in order.
  std::vector<std::string> texts_at(int priority) const;
  // Texts of all log lines, in order.
  std::vector<std::string> texts() const;
};

// Owning file descriptor: the program's own owner.
using UniqueFd = unique_fd;

class Sandbox {
public:
  // Exit status by which a wrapper reports its own errors. For valgrind use:
  //   CORVANE_E2E_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full
  //                        --errors-for-leak-kinds=definite,indirect"
  static constexpr int kWrapperErrorExit = 99;
  // Environment variable holding the wrapper command (split on blanks).
  static constexpr const char *kWrapperEnv = "CORVANE_E2E_WRAPPER";
  // Directories covered by a fresh tmpfs in every sandbox.
  static const std::vector<std::string> &tmpfs_roots();

  // Why a sandbox cannot be made here (not root, unshare or mount refused);
  // empty when it can. Tests GTEST_SKIP() with this. The answer is cached.
  static std::string unavailable_reason();

  // Enters fresh namespaces and sets everything up. On failure prints the
  // reason to stderr, undoes what was done, and leaves ok() false (error()
  // says why). Aborts the process only if it cannot get back to the saved
  // namespaces.
  Sandbox();
  // Unmounts, returns to the namespaces (and working directory) saved at
  // construction. The /dev stage directory in /tmp is already gone: set-up
  // removes it, so a killed test leaves nothing behind there.
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;
  Sandbox(Sandbox &&) = delete;
  Sandbox &operator=(Sandbox &&) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }

  // Writes a file below one of the sandbox's tmpfs roots, creating parent
  // directories (0755). The mode is applied exactly (umask ignored). Paths
  // outside the roots are refused (false, message on stderr).
  bool write_file(const std::string &path, std::string_view content,
                  mode_t mode = 0644);
  // Whole file contents; empty if it cannot be read.
  std::string read_file(const std::string &path) const;
  // lstat() succeeds.
  bool exists(const std::string &path) const;
  // Removes a file or a directory tree below one of the tmpfs roots. True if
  // the path is gone afterwards.
  bool remove(const std::string &path);
  // Mounts one more fresh tmpfs (creating the directory on the host if
  // missing) and makes it writable through write_file()/remove().
  bool mount_tmpfs(const std::string &dir);

  // Makes name resolution use only DNS at 127.0.0.1 (one try, 1 s timeout):
  // bind-mounts a generated resolv.conf and nsswitch.conf ("hosts: dns") over
  // the ones in /etc. For tests that start their own DNS server.
  bool use_dns_server_at_localhost();

  // Runs `program` the way the SMTP server runs a plug-in: execve() with
  // exactly `env` (nothing inherited), argv = {program, args...}, stdin from
  // /dev/null, stdout and stderr captured. Waits for the exit (killing the
  // process group after the timeout), then collects the syslog lines. A
  // program without '/' is looked up in the caller's PATH. With a wrapper the
  // wrapper is exec'd with program and args appended.
  run_result run(const std::string &program,
                 const std::vector<std::string> &args,
                 const std::vector<std::string> &env);

  // Run timeout (default 60 s; valgrind is slow).
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  std::chrono::milliseconds timeout() const { return timeout_; }

  // Wrapper prefix read from CORVANE_E2E_WRAPPER at construction (argv[0]
  // resolved through PATH); empty when unset.
  const std::vector<std::string> &wrapper() const { return wrapper_; }

  // Discards queued syslog datagrams; returns how many were discarded.
  std::size_t drain_log();
  // Takes the queued syslog datagrams, parsed, in arrival order.
  std::vector<log_line> read_log();
  // The receiving end of /dev/log (for tests that poll it themselves).
  int log_fd() const { return log_fd_.get(); }

  // Parses "<PRI>Mmm dd hh:mm:ss ident[pid]: message" (a trailing newline or
  // NUL is ignored). Returns false (and fills text with the raw datagram,
  // priority and facility -1) if there is no <PRI> prefix.
  static bool parse_syslog(std::string_view datagram, log_line &out);

private:
  bool set_up();
  void tear_down();
  bool fail(const std::string &what); // records errno text, returns false
  bool writable(const std::string &path) const;
  void receive_log(std::vector<log_line> *into, std::size_t *count);

  bool ok_ = false;
  bool entered_ = false; // unshare() done: must setns() back
  std::string error_;
  UniqueFd saved_mnt_, saved_ipc_, saved_net_, saved_cwd_;
  std::vector<std::string> mounts_; // unmounted in reverse order
  std::vector<std::string> roots_;  // writable through write_file()
  std::string stage_;               // /dev stage directory while being set up
  UniqueFd log_fd_;
  std::vector<std::string> wrapper_;
  std::chrono::milliseconds timeout_{60000};
  std::vector<char> buf_;
};

} // namespace sandbox
