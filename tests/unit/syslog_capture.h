// A unit-test fixture that reads what the code under test sends to
// syslog(3), through the sandbox's in-process log capture.
#pragma once

#include "sandbox.h"
#include "test_support.h"

#include <memory>
#include <syslog.h>

namespace ut {

class syslog_test : public ::testing::Test {
protected:
  void TearDown() override {
    closelog();
    capture_.reset();
  }

  // Starts capturing syslog; false when it cannot be had here.
  bool capture_syslog() {
    closelog();
    capture_ = std::make_unique<sandbox::log_capture>();
    openlog("unit", LOG_PID, LOG_MAIL);
    return capture_->ok();
  }

  // The captured lines as "<priority> <text>".
  std::vector<std::string> logged() {
    std::vector<std::string> lines;
    for (const auto &line : capture_->read_log())
      lines.push_back(at(line.priority, line.text));
    return lines;
  }

  std::unique_ptr<sandbox::log_capture> capture_;
};

} // namespace ut

// In a test of a ut::syslog_test fixture: starts the capture, or skips.
#define CAPTURE_SYSLOG_OR_SKIP()                                               \
  do {                                                                         \
    if (!capture_syslog())                                                     \
      GTEST_SKIP() << "no syslog capture here: " << capture_->error();         \
  } while (0)
