// Helpers shared by the end-to-end tests: the plug-in's path, a command that
// passes the default rules, text helpers, and the fixtures that give each
// test a fresh Sandbox (and, when tests/dns is built, the test DNS server).
#pragma once

#include "rules/product.h"
#include "sandbox.h"
#ifdef CORVANE_DNS_PROBE_PATH
#include "test_dns.h"
#endif

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <syslog.h>
#include <vector>

namespace e2e {

using sandbox::run_result;
using sandbox::Sandbox;
using args_list = std::vector<std::string>;
using env_list = std::vector<std::string>;
using lines = std::vector<std::string>;

inline const std::string PLUGIN = CORVANE_SPP_PATH;

// An SMTP command that passes the default rules; TCPREMOTEHOST spares the
// reverse lookup.
inline const env_list ACCEPTED_COMMAND = {
    "TCPREMOTEIP=192.0.2.10",        "TCPREMOTEHOST=mail.example.net",
    "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=alice@example.net",
    "SMTPRCPTTO=bob@example.org",
};

// Why the DNS test suites skip when tests/dns is not part of the build.
inline constexpr const char *NO_TEST_DNS =
    "tests/dns is not part of this build "
    "(add_subdirectory(tests/dns) after tests/e2e)";

inline bool starts_with(const std::string &text, const std::string &start) {
  return text.rfind(start, 0) == 0;
}

// The lines of `text`, without their newlines; a last line without one
// counts too.
inline lines lines_of(const std::string &text) {
  lines result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      result.push_back(text.substr(start));
      break;
    }
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

// The one summary line a check run writes to syslog at LOG_INFO.
inline std::string summary_of(const run_result &r) {
  for (const auto &line : r.log)
    if (line.priority == LOG_INFO &&
        (starts_with(line.text, "HAM") || starts_with(line.text, "SPAM") ||
         line.text.find("_EXEMPT: ") != std::string::npos ||
         starts_with(line.text, "FROM_WHITELIST")))
      return line.text;
  return "<no summary>";
}

// The standard six-line notice with the catalogue's reason and URL.
inline std::string notice(const std::string &reason, const std::string &url) {
  return "P550-Your message was rejected by this system and was not "
         "delivered.\n"
         "P550-Reason: " +
         reason +
         "\n"
         "P550-Protection provided by: " CORVANE_BANNER "\n"
         "P550-For more information, please visit the URL:\n"
         "P550-" +
         url +
         "\n"
         "E550 or contact your ISP or mail server operator.\n";
}

// A fresh Sandbox for every test; skips where none can be made.
class SandboxTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string why = Sandbox::unavailable_reason();
    if (!why.empty())
      GTEST_SKIP() << "no sandbox here: " << why;
    box_ = std::make_unique<Sandbox>();
    ASSERT_TRUE(box_->ok()) << box_->error();
  }

  // True when SetUp skipped or failed: a derived SetUp stops there.
  static bool set_up_stopped() { return IsSkipped() || HasFatalFailure(); }

  // Runs `program` and expects the harness to have run it to its end.
  run_result checked(const std::string &program, const args_list &args,
                     const env_list &env) {
    run_result r = box_->run(program, args, env);
    EXPECT_TRUE(r.harness_error.empty()) << r.harness_error;
    EXPECT_FALSE(r.wrapper_failed) << r.err;
    EXPECT_EQ(r.term_signal, 0);
    return r;
  }
  // The same, and expects exit status 0.
  run_result succeeded(const std::string &program, const args_list &args,
                       const env_list &env) {
    run_result r = checked(program, args, env);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r;
  }
  run_result judge(const env_list &env, const args_list &args = {}) {
    return checked(PLUGIN, args, env);
  }

  void write(const std::string &path, const std::string &content) {
    ASSERT_TRUE(box_->write_file(path, content)) << path;
  }
  void enable_debug() { write("/etc/corvane/control/debug", "true\n"); }

  std::unique_ptr<Sandbox> box_;
};

#ifdef CORVANE_DNS_PROBE_PATH

inline const std::string PROBE = CORVANE_DNS_PROBE_PATH;

// A Sandbox whose resolver asks only 127.0.0.1, where serve() starts the
// test DNS server.
class DnsSandboxTest : public SandboxTest {
protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (set_up_stopped())
      return;
    ASSERT_TRUE(box_->use_dns_server_at_localhost()) << box_->error();
  }

  // The test DNS server goes before the sandbox.
  void TearDown() override {
    dns_.reset();
    box_.reset();
  }

  test_dns::TestDns &serve(const std::vector<test_dns::record> &table) {
    dns_ = std::make_unique<test_dns::TestDns>(table);
    EXPECT_TRUE(dns_->ok()) << dns_->error();
    return *dns_;
  }

  std::unique_ptr<test_dns::TestDns> dns_;
};

#endif

} // namespace e2e
