// Many processes at once on one file: the plug-in's counts and transaction
// log lines, corvane-admin's list entries, none lost.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace {

using sandbox::Sandbox;

// Runs `program` `n` times at once in one sandbox, the i-th run with
// args(i); then returns which runs succeeded and what `after` finds.
template <typename Args, typename After>
std::string at_once(int n, const char *program, Args args, After after) {
  if (!sandbox::unavailable_reason().empty())
    return "";
  const sandbox::outcome o = sandbox::in_sandbox([&](Sandbox &box) {
    const std::vector<std::string> env = {
        "TCPREMOTEIP=192.0.2.10", "TCPREMOTEHOST=mail.example.net",
        "SMTPHELOHOST=mail.example.net", "SMTPRCPTTO=bob@example.org"};
    box.timeout = std::chrono::seconds(120); // all at once, maybe valgrind
    std::vector<pid_t> runs;
    for (int i = 0; i < n; ++i)
      if ((runs.emplace_back(fork())) == 0)
        _exit(box.run(program, args(i), env).exit_status);
    std::vector<int> succeeded;
    for (int i = 0; i < n; ++i) {
      int status = 0;
      if (waitpid(runs[i], &status, 0) == runs[i] && status == 0)
        succeeded.push_back(i);
    }
    return after(succeeded);
  });
  return o.set_up ? o.report : o.error;
}

TEST(AtOnce, EveryRunOfThePlugInIsCountedAndLogged) {
  constexpr int RUNS = 16;
  const std::string found = at_once(
      RUNS, CORVANE_SPP_PATH, [](int) { return std::vector<std::string>{}; },
      [](const std::vector<int> &succeeded) {
        const time_t now = time(nullptr);
        struct tm today;
        localtime_r(&now, &today);
        char path[64];
        std::snprintf(path, sizeof path, "/var/log/corvane/.counter.dat.%02d",
                      today.tm_mon + 1);
        const std::string counts = Sandbox::read_file(path);
        uint32_t ham = 0;
        if (counts.size() == 500)
          std::memcpy(&ham, counts.data() + 8 + 16 * (today.tm_mday - 1), 4);
        const std::string log = Sandbox::read_file("/var/log/corvane/ihlog");
        return std::to_string(succeeded.size()) + " runs, " +
               std::to_string(ham) + " counted, " +
               std::to_string(std::count(log.begin(), log.end(), '\n')) +
               " logged";
      });
  if (found.empty())
    GTEST_SKIP() << sandbox::unavailable_reason();
  EXPECT_EQ(found, "16 runs, 16 counted, 16 logged");
}

TEST(AtOnce, NoListEntryAddedIsLost) {
  constexpr int RUNS = 8;
  auto entry = [](int i) { return "192.0.2." + std::to_string(i + 1); };
  const std::string found = at_once(
      RUNS, CORVANE_ADMIN_PATH,
      [&](int i) {
        return std::vector<std::string>{"list", "blocked_ips", "add", entry(i)};
      },
      [&](const std::vector<int> &succeeded) {
        std::vector<std::string> added;
        for (int i : succeeded)
          added.push_back(entry(i) + "\n");
        std::sort(added.begin(), added.end());
        std::string list = Sandbox::read_file("/etc/corvane/blocked_ips");
        std::vector<std::string> kept;
        for (std::size_t at = 0, end;
             (end = list.find('\n', at)) != std::string::npos; at = end + 1)
          kept.push_back(list.substr(at, end + 1 - at));
        std::sort(kept.begin(), kept.end());
        return added == kept && !added.empty() ? "kept" : "added:\n" + list;
      });
  if (found.empty())
    GTEST_SKIP() << sandbox::unavailable_reason();
  EXPECT_EQ(found, "kept");
}

} // namespace
