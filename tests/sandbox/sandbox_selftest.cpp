// Self-test of the end-to-end sandbox: the faults of the harness itself that
// would let an end-to-end case pass or fail for the wrong reason.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <syslog.h>

namespace {

using sandbox::Sandbox;

#define NEEDS_SANDBOX()                                                        \
  if (!sandbox::unavailable_reason().empty())                                  \
  GTEST_SKIP() << sandbox::unavailable_reason()

// What one run of `sh -c script` did, as text.
std::string probe(const std::string &script,
                  const std::vector<std::string> &env = {},
                  int timeout_ms = 10000) {
  return sandbox::in_sandbox([&](Sandbox &box) {
           box.timeout = std::chrono::milliseconds(timeout_ms);
           const sandbox::run_result r =
               box.run("/bin/sh", {"-c", script}, env);
           std::string text = "exit " + std::to_string(r.exit_status) +
                              " signal " + std::to_string(r.term_signal) +
                              (r.timed_out ? " timed out\n" : "\n") + r.out +
                              r.err;
           for (const sandbox::log_line &l : r.log)
             text += std::to_string(l.facility | l.priority) + " " + l.ident +
                     ": " + l.text + "\n";
           return text;
         })
      .report;
}

TEST(Sandbox, RunGetsExactlyItsEnvironmentAndNoInputAndAllItsLogLines) {
  NEEDS_SANDBOX();
  std::string expected = "exit 3 signal 0\n0\nA=1\nB=two words\nto stderr\n"
                         "22 corvane-probe: info\n"
                         "156 corvane-probe: warning: with colon\n";
  for (int i = 0; i < 2000; ++i)
    expected += "23 corvane-probe: line " + std::to_string(i) + "\n";
  EXPECT_EQ(probe("wc -c; env -u PWD; echo to stderr >&2;"
                  "logger -t corvane-probe -p mail.info info;"
                  "logger -t corvane-probe -p local3.warning 'warning: with "
                  "colon'; seq -f 'line %g' 0 1999 |"
                  "logger -t corvane-probe -p mail.debug; exit 3",
                  {"A=1", "B=two words"}),
            expected);
}

TEST(Sandbox, RunPastItsTimeoutIsKilledAndAWrapperComesFirst) {
  NEEDS_SANDBOX();
  EXPECT_EQ(probe("sleep 30", {}, 300), "exit -1 signal 9 timed out\n");
  setenv(Sandbox::kWrapperEnv, "/bin/false", 1);
  EXPECT_EQ(probe("exit 0"), "exit 1 signal 0\n");
  unsetenv(Sandbox::kWrapperEnv);
}

TEST(Sandbox, NothingReachesTheHostOrTheNextSandbox) {
  NEEDS_SANDBOX();
  const char *path = "/etc/corvane/control/selftest";
  const key_t key = ftok("/bin/bash", 45);
  const bool host_segment = shmget(key, 0, 0) >= 0;
  auto look = [&](Sandbox &box) {
    std::string seen = access(path, F_OK) == 0 ? "file " : "";
    seen += shmget(key, 0, 0) >= 0 ? "segment " : "";
    seen += box.write_file("/etc/corvane-outside", "x") ||
                    box.write_file("/etc/corvane/../passwd", "x")
                ? "outside "
                : "";
    return seen + (box.write_file(path, "x") &&
                           shmget(key, 4096, IPC_CREAT | 0600) >= 0
                       ? "made"
                       : "");
  };
  EXPECT_EQ(sandbox::in_sandbox(look).report, "made");
  EXPECT_EQ(sandbox::in_sandbox(look).report, "made");
  EXPECT_NE(access(path, F_OK), 0);
  EXPECT_EQ(shmget(key, 0, 0) >= 0, host_segment);
}

TEST(Sandbox, CaptureReadsTheCallersOwnSyslogLines) {
  NEEDS_SANDBOX();
  sandbox::log_capture capture;
  ASSERT_TRUE(capture.ok()) << capture.error();
  openlog("selftest", 0, LOG_MAIL);
  syslog(LOG_ERR, "line %d", 1);
  closelog();
  const auto lines = capture.read_log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "line 1");
  EXPECT_EQ(lines[0].priority, LOG_ERR);
}

} // namespace
