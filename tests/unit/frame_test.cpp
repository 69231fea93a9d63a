// The plug-in's frame: control switches, the record's trace dump and its
// release. (The record built from the environment and the MUA marking are
// seen whole in the end-to-end summary lines.)
#include "frame/control_files.h"
#include "frame/load_spp_env.h"

#include "test_support.h"

#include <syslog.h>

namespace {

using strings = std::vector<std::string>;

TEST(ControlFlag, FirstLineTrueInAnyCaseOrExactlyOne) {
  // clang-format off
  const struct { const char *contents; int expected; } cases[] = {
      {"TRUE", 1}, {"tRuE\nfalse\n", 1}, {"1 ", 1}, {"1\n", 1},
      {"true\t\r\n", 1}, {" 1", 0}, {" true", 0}, {"yes", 0}, {"01", 0},
      {"truest", 0}, {"", 0}, {"\n", 0}, {"no\ntrue\n", 0},
  };
  // clang-format on
  ut::temp_dir dir;
  for (const auto &c : cases)
    EXPECT_EQ(read_control_flag(dir.write("flag", c.contents).c_str()),
              c.expected)
        << ::testing::PrintToString(std::string(c.contents));
  EXPECT_EQ(read_control_flag(dir.file("absent").c_str()), 0);
}

TEST(DumpState, ShowsEveryFieldAndSpellsOutAbsence) {
  char ip[] = "192.0.2.1", host[] = "h.example", helo[] = "mx.example",
       from[] = "a@e.org", to[] = "b@e.com", user[] = "a", c1[] = "NL",
       c2[] = "DE", c3[] = "FR";
  const spp_state full = {ip, host, helo, from,       to, user, c1, c2,
                          c3, 1,    1,    STATE_MAIL, 1,  2,    0,  nullptr};
  spp_state bare = empty_state;
  bare.state = 5; // one past the state names
  bare.helo_resolves = 7;
  // clang-format off
  const struct { const spp_state *record; strings lines; } cases[] = {
      {&full, {"IP[192.0.2.1] (country: NL)", "REVERSE_DNS[h.example]",
               "HELO[mx.example] (country: DE) (resolves: YES)",
               "MAIL[a@e.org] (country: FR) (resolves: NO)", "RCPT[b@e.com]",
               "AUTH[a]", "RFC[1]", "MUA->MTA[1]", "STATE[MAIL]"}},
      {&bare, {"IP[(null)] (country: (null))", "REVERSE_DNS[(null)]",
               "HELO[(null)] (country: (null)) (resolves: UNKNOWN)",
               "MAIL[(null)] (country: (null)) (resolves: UNKNOWN)",
               "RCPT[(null)]", "AUTH[(null)]", "RFC[0]", "MUA->MTA[0]",
               "STATE[(null)]"}},
  };
  // clang-format on
  for (const auto &c : cases) {
    ut::log_lines.clear();
    dump_state(ut::capture_log, LOG_NOTICE, c.record);
    strings expected = {"5 == BEGIN STATE STRUCTURE =="};
    for (const std::string &line : c.lines)
      expected.push_back("5 " + line);
    expected.push_back("7 === END STATE STRUCTURE ===");
    EXPECT_EQ(ut::captured(), expected);
  }
  ut::log_lines.clear();
  dump_state(nullptr, LOG_INFO, &full);
  dump_state(ut::capture_log, LOG_INFO, nullptr);
  EXPECT_EQ(ut::captured(), strings{});
}

TEST(FreeState, ReleasesTextsAndEmptiesTheRecord) {
  spp_state r = {};
  for (char **text :
       {&r.remote_ip, &r.remote_host, &r.helo, &r.mail_from, &r.rcpt_to,
        &r.auth_user, &r.ip_country, &r.helo_country, &r.mail_country})
    *text = strdup("x"); // a leak shows under the sanitizer and valgrind runs
  r.rfc = r.mua = r.helo_resolves = r.mail_resolves = r.rdns_status = 1;
  r.state = STATE_DATA;
  r.logger = ut::capture_log;
  free_state(&r);
  EXPECT_EQ(std::memcmp(&r, &empty_state, sizeof r), 0);
  free_state(nullptr);
}

} // namespace
