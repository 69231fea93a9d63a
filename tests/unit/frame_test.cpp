// The plug-in's frame: control switches and the record's trace dump. (The
// record built from the environment, its release and the MUA marking are
// seen whole end to end.)
// GCC 12 at -O2 sees an uninitialized std::function inside <regex>'s
// automaton where there is none.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "frame/control_files.h"
#include "frame/load_spp_env.h"
#include "util/local_clock.h"
#include "util/plugin_log.h"

#include "syslog_capture.h"
#include "test_support.h"

#include <cerrno>
#include <cstdlib>
#include <regex>
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

// The plug-in's own syslog lines are the datagrams vsyslog sends, save the
// time when a second began between the two.
class PluginLog : public ut::syslog_test {
protected:
  void TearDown() override {
    plugin_log_close();
    setlogmask(LOG_UPTO(LOG_DEBUG));
    ut::syslog_test::TearDown();
  }
};

TEST_F(PluginLog, SendsTheDatagramsThatVsyslogSends) {
  CAPTURE_SYSLOG_OR_SKIP();
  closelog();
  openlog("corvane-spp", LOG_PID, LOG_MAIL);
  setlogmask(LOG_UPTO(LOG_INFO));
  const std::string long_text(3000, 'x');
  const struct {
    int priority;
    const char *format, *argument;
  } cases[] = {
      {LOG_INFO, "HAM: mua=0,ip=[%s]", "192.0.2.1"},
      {LOG_DEBUG, "dropped by the mask %s", "x"},
      {LOG_ERR | LOG_LOCAL0, "its own facility %s", "y"},
      {LOG_WARNING, "%s: %m", "errno"},
      {LOG_INFO, "long %s", long_text.c_str()},
      {LOG_NOTICE, "100%% %s\r\nnext", "raw"},
  };
  plugin_log_open("corvane-spp", LOG_MAIL, static_cast<int>(getpid()));
  for (const auto &c : cases) {
    errno = ENOENT;
    syslog(c.priority, c.format, c.argument);
    errno = ENOENT;
    plugin_log(c.priority, c.format, c.argument);
  }
  const auto lines = capture_->read_log();
  ASSERT_EQ(lines.size(), 10u);
  const std::regex header(
      "<[0-9]+>[A-Z][a-z][a-z] [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
      "corvane-spp[[][0-9]+[]]: .*",
      std::regex::extended);
  for (size_t i = 0; i < lines.size(); i += 2) {
    std::string glibc = lines[i].datagram, own = lines[i + 1].datagram;
    EXPECT_TRUE(std::regex_match(own.substr(0, 200), header)) << own;
    // The time: the 15 characters after "<PRI>".
    const size_t at = glibc.find('>') + 1;
    if (own.find('>') + 1 == at && own.size() == glibc.size())
      own.replace(at, 15, glibc, at, 15);
    EXPECT_EQ(own, glibc);
  }
}

// The broken-down time for an offset is localtime_r's wherever the zone has
// that offset: zones of whole, half and three-quarter hours, east and west,
// with and without daylight saving time, over leap days, year ends and
// moments before 1970.
TEST(LocalClock, CivilTimeIsLocaltimesForTheZonesOffset) {
  const char *zones[] = {
      "UTC0",         "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
      "<+0545>-5:45", "NST3:30NDT,M3.2.0,M11.1.0",  "<-10>10"};
  const time_t moments[] = {0,          -1,         -86401,     951782400,
                            951868799,  4107542400, 1798761599, 1798761600,
                            1774746000, 1793491200, 2147483647, -2208988800,
                            1733560000, 1711846800};
  const char *old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  for (const char *zone : zones) {
    setenv("TZ", zone, 1);
    tzset();
    for (time_t moment : moments) {
      struct tm expected, got;
      ASSERT_NE(localtime_r(&moment, &expected), nullptr);
      civil_time(moment, expected.tm_gmtoff, expected.tm_isdst, &got);
      const int e[] = {expected.tm_sec,  expected.tm_min,  expected.tm_hour,
                       expected.tm_mday, expected.tm_mon,  expected.tm_year,
                       expected.tm_wday, expected.tm_yday, expected.tm_isdst};
      const int g[] = {got.tm_sec,  got.tm_min,  got.tm_hour,
                       got.tm_mday, got.tm_mon,  got.tm_year,
                       got.tm_wday, got.tm_yday, got.tm_isdst};
      EXPECT_TRUE(std::equal(std::begin(e), std::end(e), std::begin(g)) &&
                  got.tm_gmtoff == expected.tm_gmtoff)
          << zone << " at " << moment;
    }
  }
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}
