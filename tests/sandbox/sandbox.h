// End-to-end sandbox: runs a program (normally the plug-in) the way the SMTP
// server runs a plug-in, inside private mount, IPC and network namespaces
// with a fresh tmpfs over each of the plug-in's fixed paths, a private /dev
// whose /dev/log socket the sandbox reads, and a resolver that asks only
// 127.0.0.1 (where a test may start its DNS server).
//
// in_sandbox() forks a child that makes the namespaces itself and calls the
// body there: the calling process never changes namespace, and nothing is
// unmounted by hand (the mounts go with the child). The body returns its
// report as text; it must not use test assertions, which would stay in the
// child.
#pragma once

#include "util/raii.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

// One syslog datagram received on /dev/log.
struct log_line {
  int priority = -1; // PRI & 7 (LOG_EMERG .. LOG_DEBUG), -1 if unparseable
  int facility = -1; // PRI & ~7 (LOG_MAIL == 16)
  std::string ident; // "ident" of "ident[pid]: ", empty if absent
  std::string text;  // the message (the whole datagram if unparseable)
};

struct run_result {
  int exit_status = -1;        // WEXITSTATUS, -1 if killed
  int term_signal = 0;         // the signal that ended it
  bool timed_out = false;      // killed after the run's timeout
  bool wrapper_failed = false; // the wrapper exited kWrapperErrorExit
  std::string out, err;        // all of stdout and stderr
  std::vector<log_line> log;   // the run's syslog lines, in order
};

// The sandbox, as the body of in_sandbox() sees it.
class Sandbox {
public:
  // A command (split on blanks) put before every program run, that reports
  // its own errors by kWrapperErrorExit (valgrind --error-exitcode=99 ...).
  static constexpr const char *kWrapperEnv = "CORVANE_E2E_WRAPPER";
  static constexpr int kWrapperErrorExit = 99;
  // The plug-in's fixed directories, each a fresh tmpfs.
  static const std::vector<std::string> &tmpfs_roots();

  // Writes a file below a tmpfs root (parents 0755) with exactly `mode`;
  // false elsewhere, or when the root is no longer the sandbox's tmpfs.
  bool write_file(const std::string &path, std::string_view content,
                  mode_t mode = 0644);
  static std::string read_file(const std::string &path); // "" if unreadable

  // Runs argv {program, args...} (after the wrapper, if any) with exactly
  // `env`, stdin /dev/null, stdout (or the file `stdout_path`) and stderr
  // captured, under `umask`; kills its process group after `timeout`.
  run_result run(const std::string &program,
                 const std::vector<std::string> &args,
                 const std::vector<std::string> &env,
                 const char *stdout_path = nullptr);
  std::chrono::milliseconds timeout{10000};
  mode_t umask = 022;

  // The syslog lines queued since the last call (drain_log: how many).
  std::vector<log_line> read_log();
  std::size_t drain_log() { return read_log().size(); }

private:
  friend struct setup;
  std::vector<std::pair<std::string, dev_t>> roots_;
  std::vector<std::string> wrapper_;
  unique_fd log_fd_;
};

struct outcome {
  bool set_up = false; // the sandbox was made and the body ran to its end
  std::string error;   // why not
  std::string report;  // what the body returned
};

// Runs `body` in a fresh sandbox in a child process and waits for it.
outcome in_sandbox(const std::function<std::string(Sandbox &)> &body);

// Why no sandbox can be made here (not root, namespaces refused); empty when
// one can. Tried once per process.
const std::string &unavailable_reason();

// What the calling process itself sends to syslog(3). The first one moves
// the (then single-threaded) process for good into private mount and network
// namespaces with a private /dev; each binds a fresh socket at /dev/log.
class log_capture {
public:
  log_capture();
  ~log_capture();
  log_capture(const log_capture &) = delete;
  log_capture &operator=(const log_capture &) = delete;

  bool ok() const { return fd_.valid(); }
  const std::string &error() const { return error_; }
  std::vector<log_line> read_log();

private:
  unique_fd fd_;
  std::string error_;
};

// "<PRI>Mmm dd hh:mm:ss ident[pid]: message" as a log_line.
log_line parse_syslog(std::string_view datagram);

} // namespace sandbox
