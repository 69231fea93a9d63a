#include "frame/control_files.h"
#include "frame/load_spp_env.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

// ---- read_control_flag ---------------------------------------------------

struct flag_case {
  const char *contents;
  int expected;
};

void PrintTo(const flag_case &c, std::ostream *os) {
  *os << ::testing::PrintToString(std::string(c.contents));
}

class ControlFlag : public ::testing::TestWithParam<flag_case> {};

TEST_P(ControlFlag, FirstLineDecides) {
  ut::temp_dir dir;
  const std::string path = dir.write("flag", GetParam().contents);
  EXPECT_EQ(read_control_flag(path.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    On, ControlFlag,
    ::testing::Values(flag_case{"TRUE", 1}, flag_case{"True\r\n", 1},
                      flag_case{"true", 1}, flag_case{"1 ", 1},
                      flag_case{"1\n", 1}, flag_case{"true\t\n", 1},
                      flag_case{"tRuE\nfalse\n", 1}));

INSTANTIATE_TEST_SUITE_P(
    Off, ControlFlag,
    ::testing::Values(flag_case{" 1", 0}, flag_case{"yes", 0},
                      flag_case{"on", 0}, flag_case{" true", 0},
                      flag_case{"01", 0}, flag_case{"2", 0}, flag_case{"", 0},
                      flag_case{"\n", 0}, flag_case{"truest", 0},
                      flag_case{"no\ntrue\n", 0}));

TEST(ControlFlagFile, MissingFileIsOff) {
  ut::temp_dir dir;
  EXPECT_EQ(read_control_flag(dir.file("absent").c_str()), 0);
}

// ---- load_env and load_spp_env -------------------------------------------

constexpr const char *SESSION_VARIABLES[] = {
    "TCPREMOTEIP", "TCPREMOTEHOST", "SMTPHELOHOST", "SMTPMAILFROM",
    "SMTPRCPTTO",  "SMTPAUTHUSER",  "RELAYCLIENT"};

// Starts every test with none of the session's variables set.
class Environment : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char *name : SESSION_VARIABLES)
      unsetenv(name);
    unsetenv("CORVANE_UT_VARIABLE");
  }
  void TearDown() override {
    SetUp();
    free_state(&record);
  }

  spp_state record = empty_state;
};

TEST_F(Environment, LoadEnvUnsetLeavesDestinationAlone) {
  char sentinel[] = "untouched";
  char *dest = sentinel;
  EXPECT_EQ(load_env("CORVANE_UT_VARIABLE", &dest), 0);
  EXPECT_EQ(dest, sentinel);
}

TEST_F(Environment, LoadEnvCopiesTheValue) {
  setenv("CORVANE_UT_VARIABLE", "", 1);
  char *dest = nullptr;
  ASSERT_EQ(load_env("CORVANE_UT_VARIABLE", &dest), 1);
  ut::c_text empty(dest);
  EXPECT_STREQ(dest, "");

  setenv("CORVANE_UT_VARIABLE", "value", 1);
  char *copy = nullptr;
  ASSERT_EQ(load_env("CORVANE_UT_VARIABLE", &copy), 1);
  ut::c_text owner(copy);
  EXPECT_STREQ(copy, "value");
  EXPECT_NE(copy, std::getenv("CORVANE_UT_VARIABLE"));
}

TEST_F(Environment, LoadSppEnvFillsTheSixFields) {
  setenv("TCPREMOTEIP", "192.0.2.1", 1);
  setenv("TCPREMOTEHOST", "host.example.net", 1);
  setenv("SMTPHELOHOST", "mail.example.net", 1);
  setenv("SMTPMAILFROM", "alice@example.org", 1);
  setenv("SMTPRCPTTO", "bob@example.com", 1);
  setenv("SMTPAUTHUSER", "alice", 1);
  ASSERT_EQ(load_spp_env(&record), 0);
  EXPECT_STREQ(record.remote_ip, "192.0.2.1");
  EXPECT_STREQ(record.remote_host, "host.example.net");
  EXPECT_STREQ(record.helo, "mail.example.net");
  EXPECT_STREQ(record.mail_from, "alice@example.org");
  EXPECT_STREQ(record.rcpt_to, "bob@example.com");
  EXPECT_STREQ(record.auth_user, "alice");
  EXPECT_EQ(load_spp_env(nullptr), -1);
}

// ---- detect_mua ----------------------------------------------------------

TEST_F(Environment, RelayClientMarksMua) {
  setenv("RELAYCLIENT", "", 1);
  ASSERT_EQ(load_spp_env(&record), 0);
  detect_mua(&record);
  EXPECT_EQ(record.mua, 1);
}

TEST_F(Environment, EmptyAuthUserDoesNotMarkMua) {
  setenv("SMTPAUTHUSER", "", 1);
  ASSERT_EQ(load_spp_env(&record), 0);
  detect_mua(&record);
  EXPECT_EQ(record.mua, 0);
}

TEST_F(Environment, AuthUserMarksMua) {
  setenv("SMTPAUTHUSER", "bob", 1);
  ASSERT_EQ(load_spp_env(&record), 0);
  detect_mua(&record);
  EXPECT_EQ(record.mua, 1);
}

TEST_F(Environment, NothingSetIsNoMua) {
  ASSERT_EQ(load_spp_env(&record), 0);
  detect_mua(&record);
  EXPECT_EQ(record.mua, 0);
}

// ---- dump_state ----------------------------------------------------------

using ut::capture_log;
using ut::log_lines;
using ut::texts_of;

TEST_F(Environment, DumpStateOfAnAddressOnly) {
  setenv("TCPREMOTEIP", "192.0.2.1", 1);
  ASSERT_EQ(load_spp_env(&record), 0);
  record.state = STATE_RCPT;
  log_lines.clear();
  dump_state(capture_log, LOG_INFO, &record);
  EXPECT_EQ(texts_of(log_lines),
            (std::vector<std::string>{
                "== BEGIN STATE STRUCTURE ==",
                "IP[192.0.2.1] (country: (null))", "REVERSE_DNS[(null)]",
                "HELO[(null)] (country: (null)) (resolves: UNKNOWN)",
                "MAIL[(null)] (country: (null)) (resolves: UNKNOWN)",
                "RCPT[(null)]", "AUTH[(null)]", "RFC[0]", "MUA->MTA[0]",
                "STATE[RCPT]", "=== END STATE STRUCTURE ==="}));
  ASSERT_EQ(log_lines.size(), 11u);
  for (size_t i = 0; i < 10; ++i)
    EXPECT_EQ(log_lines[i].priority, LOG_INFO) << "line " << i + 1;
  EXPECT_EQ(log_lines[10].priority, LOG_DEBUG);
}

TEST_F(Environment, DumpStateOfAFullRecord) {
  char ip[] = "192.0.2.1", host[] = "h.example.net", helo[] = "mx.example.net",
       from[] = "a@example.org", to[] = "b@example.com", user[] = "a",
       c1[] = "NL", c2[] = "DE", c3[] = "FR";
  spp_state full = {ip, host, helo, from,       to, user, c1, c2,
                    c3, 1,    1,    STATE_MAIL, 1,  2,    0,  nullptr};
  log_lines.clear();
  dump_state(capture_log, LOG_NOTICE, &full);
  ASSERT_EQ(log_lines.size(), 11u);
  EXPECT_EQ(texts_of(log_lines),
            (std::vector<std::string>{
                "== BEGIN STATE STRUCTURE ==", "IP[192.0.2.1] (country: NL)",
                "REVERSE_DNS[h.example.net]",
                "HELO[mx.example.net] (country: DE) (resolves: YES)",
                "MAIL[a@example.org] (country: FR) (resolves: NO)",
                "RCPT[b@example.com]", "AUTH[a]", "RFC[1]", "MUA->MTA[1]",
                "STATE[MAIL]", "=== END STATE STRUCTURE ==="}));
  EXPECT_EQ(log_lines[0].priority, LOG_NOTICE);
}

// ---- free_state ----------------------------------------------------------

TEST(FreeState, ReleasesTextsAndEmptiesTheRecord) {
  spp_state r = {strdup("192.0.2.1"),
                 strdup("h"),
                 strdup("helo"),
                 strdup("from"),
                 strdup("to"),
                 strdup("user"),
                 strdup("NL"),
                 strdup("DE"),
                 strdup("FR"),
                 1,
                 1,
                 STATE_DATA,
                 1,
                 2,
                 3,
                 capture_log};
  free_state(&r); // leaks show under the sanitizer and valgrind runs
  const std::vector<const char *> texts = {
      r.remote_ip, r.remote_host, r.helo,         r.mail_from,   r.rcpt_to,
      r.auth_user, r.ip_country,  r.helo_country, r.mail_country};
  EXPECT_EQ(texts, std::vector<const char *>(9, nullptr));
  const std::vector<long> numbers = {
      r.rfc, r.mua, r.state, r.helo_resolves, r.mail_resolves, r.rdns_status};
  EXPECT_EQ(numbers, std::vector<long>(6, 0));
  EXPECT_EQ(r.logger, nullptr);
}

} // namespace
