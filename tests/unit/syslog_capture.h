// A unit-test fixture that reads what the code under test sends to
// syslog(3): the process moves into a sandbox whose /dev/log the test reads.
#pragma once

#include "sandbox.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <syslog.h>
#include <vector>

namespace ut {

class syslog_test : public ::testing::Test {
protected:
  void TearDown() override {
    if (box_) {
      closelog();
      box_.reset();
    }
  }

  // Starts capturing syslog; false without a sandbox.
  bool capture_syslog() {
    if (!sandbox::Sandbox::unavailable_reason().empty())
      return false;
    closelog();
    box_ = std::make_unique<sandbox::Sandbox>();
    if (!box_->ok())
      return false;
    openlog("unit", LOG_PID, LOG_MAIL);
    return true;
  }

  // The captured lines as "<priority> <text>".
  std::vector<std::string> logged() {
    std::vector<std::string> lines;
    for (const auto &line : box_->read_log())
      lines.push_back(at(line.priority, line.text));
    return lines;
  }

  std::unique_ptr<sandbox::Sandbox> box_;
};

} // namespace ut

// In a test of a ut::syslog_test fixture: starts the capture, or skips.
#define CAPTURE_SYSLOG_OR_SKIP()                                               \
  do {                                                                         \
    if (!capture_syslog())                                                     \
      GTEST_SKIP() << "no sandbox to capture syslog: "                         \
                   << sandbox::Sandbox::unavailable_reason();                  \
  } while (0)
