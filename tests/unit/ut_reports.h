// What the utility library reports: while a ut::library_reports lives, the
// library's sink is ut::capture_log and VERBOSEDEBUG is unset (set it for
// debug traces); lines() gives the reports as "<priority> <text>" with the
// source line masked ("3 ut_list.cpp:# ERROR f(): Invalid argument").
#pragma once

#include "test_support.h"
#include "util/ut_log.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace ut {

class library_reports {
public:
  library_reports() {
    unsetenv("VERBOSEDEBUG");
    log_lines.clear();
    ut_set_logger(capture_log);
  }
  ~library_reports() {
    ut_set_logger(nullptr);
    unsetenv("VERBOSEDEBUG");
  }

  static std::vector<std::string> lines() {
    std::vector<std::string> out;
    for (const std::string &line : log_lines) {
      const size_t colon = line.find(':');
      const bool located =
          (line[0] == '3' || line[0] == '7') && colon != std::string::npos;
      out.push_back(located ? line.substr(0, colon + 1) + "#" +
                                  line.substr(line.find(' ', colon))
                            : line);
    }
    return out;
  }
};

} // namespace ut
