// The plug-in's frame: control switches and the record's trace dump. (The
// record built from the environment, its release and the MUA marking are
// seen whole end to end.)
#include "frame/control_files.h"
#include "frame/load_spp_env.h"

#include "test_support.h"

#include <syslog.h>

namespace {

using strings = std::vector<std::string>;

// More values of the debug switch are checked end to end.
TEST(ControlFlag, FirstLineTrueInAnyCaseOrExactlyOne) {
  // clang-format off
  const struct { std::string contents; int expected; } cases[] = {
      {"tRuE\nfalse\n", 1}, {"1\n", 1}, {"true\t\r\n", 1}, {" true", 0},
      {"01", 0}, {"truest", 0}, {"\n", 0}, {"no\ntrue\n", 0},
      {std::string("1\0true", 6), 1}, {"true" + std::string(1019, ' ') + "x", 1},
      {"true" + std::string(1018, ' ') + "x", 0},
  };
  // clang-format on
  ut::temp_dir dir;
  for (const auto &c : cases)
    EXPECT_EQ(read_control_flag(dir.write("flag", c.contents).c_str()),
              c.expected)
        << ::testing::PrintToString(c.contents.substr(0, 20));
}

// A record of absent values is dumped end to end.
TEST(DumpState, ShowsEveryFieldBetweenBeginAndEndLines) {
  char ip[] = "192.0.2.1", host[] = "h.example", helo[] = "mx.example",
       from[] = "a@e.org", to[] = "b@e.com", user[] = "a", c1[] = "NL",
       c2[] = "DE", c3[] = "FR";
  spp_state r = {ip, host, helo, from,       to, user, c1, c2,
                 c3, 1,    1,    STATE_MAIL, 1,  2,    0,  nullptr};
  ut::log_lines.clear();
  dump_state(ut::capture_log, LOG_NOTICE, &r);
  EXPECT_EQ(
      ut::log_lines,
      (strings{"5 == BEGIN STATE STRUCTURE ==", "5 IP[192.0.2.1] (country: NL)",
               "5 REVERSE_DNS[h.example]",
               "5 HELO[mx.example] (country: DE) (resolves: YES)",
               "5 MAIL[a@e.org] (country: FR) (resolves: NO)",
               "5 RCPT[b@e.com]", "5 AUTH[a]", "5 RFC[1]", "5 MUA->MTA[1]",
               "5 STATE[MAIL]", "7 === END STATE STRUCTURE ==="}));
  r.state = 5; // one past the state names
  ut::log_lines.clear();
  dump_state(ut::capture_log, LOG_INFO, &r);
  EXPECT_EQ(ut::log_lines.at(9), "6 STATE[(null)]");
}

} // namespace
