// End-to-end sandbox: runs a program (normally the plug-in) the way the SMTP
// server runs a plug-in, in private mount, IPC and network namespaces with a
// fresh tmpfs over each fixed directory of the plug-in, a private /dev whose
// /dev/log socket the sandbox reads, and a resolver that asks only 127.0.0.1.
//
// in_sandbox() makes the namespaces in a forked child and calls the body
// there, so the caller never changes namespace. The body returns its report
// as text; test assertions in it would stay in the child.
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

// One syslog datagram, "<PRI>time ident[pid]: text"; an unparseable one
// has priority and facility -1 and the whole datagram as its text.
struct log_line {
  int priority = -1, facility = -1; // LOG_DEBUG, LOG_MAIL ...
  std::string ident, text;
  std::string datagram; // as it came
};

struct run_result {
  int exit_status = -1, term_signal = 0; // exit -1 when a signal ended it
  bool timed_out = false;                // killed after the timeout
  std::string out, err;                  // all of stdout and stderr
  std::vector<log_line> log;             // the run's syslog lines, in order
};

class Sandbox {
public:
  // A command put before every program run (valgrind --error-exitcode=99).
  static constexpr const char *kWrapperEnv = "CORVANE_E2E_WRAPPER";

  // Writes a file below the plug-in's fixed directories only, with exactly
  // `mode` (parents 0755).
  bool write_file(const std::string &path, std::string_view content,
                  mode_t mode = 0644);
  static std::string read_file(const std::string &path); // "" if unreadable

  // Runs {wrapper..., program, args...} with exactly `env` under `umask`,
  // stdin /dev/null, stdout (or into the file `stdout_path`) and stderr
  // captured; kills its process group after `timeout`.
  run_result run(const std::string &program,
                 const std::vector<std::string> &args,
                 const std::vector<std::string> &env,
                 const char *stdout_path = nullptr);
  std::chrono::milliseconds timeout{10000};
  mode_t umask = 022;
  uid_t uid = 0; // the user the program runs as (with its own group id)

  std::vector<log_line> read_log(); // the syslog lines queued since the last
  std::size_t drain_log() { return read_log().size(); } // call (how many)

private:
  friend struct setup;
  std::vector<std::string> wrapper_;
  unique_fd log_fd_;
};

struct outcome {
  bool set_up = false;       // the sandbox was made and the body ran to its end
  std::string error, report; // why not; what the body returned
};

// Runs `body` in a fresh sandbox in a child process and waits for it.
outcome in_sandbox(const std::function<std::string(Sandbox &)> &body);

// Why no sandbox can be made here; empty when one can. Tried once.
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

} // namespace sandbox
