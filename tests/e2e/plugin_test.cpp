// End-to-end tests: the real corvane-spp binary, started the way qmail-spp
// starts it (a fresh process, the SMTP facts in the environment), inside a
// sandbox with its own /etc/corvane, /var/log/corvane, syslog socket and
// shared-memory segments.

#include "e2e_support.h"
#include "rules/custom_notice.h"
#include "rules/product.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

using namespace e2e;

const std::string ACCEPTED_SUMMARY =
    "HAM: mua=0,ip=[192.0.2.10:mail.example.net],helo=<mail.example.net>,"
    "from=<alice@example.net>,rcpt=<bob@example.org>";

const std::string USAGE =
    "Usage: corvane-spp [options]\n\n"
    "   -s      Show config and exit.\n"
    "\nNOTE: corvane-spp is generally meant to be run by qmail-spp with no "
    "arguments.\n";

class Plugin : public SandboxTest {
protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (set_up_stopped())
      return;
    install_pattern_files();
  }

  // Both host-name pattern files, as an installation has them (without
  // them the pattern rules log a warning and check_reverse_dns_list
  // answers TEMPFAIL).
  void install_pattern_files() {
    write("/etc/corvane/dynaregex/dyna.regexes", "# dynamic pools\n");
    write("/etc/corvane/dynaregex/spam.regexes", "# spam sources\n");
  }
};

// --- Options and exit statuses ----------------------------------------------

TEST_F(Plugin, TestOptionRunsANormalCheck) {
  run_result r = judge(ACCEPTED_COMMAND, {"-t"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(summary_of(r), ACCEPTED_SUMMARY);
}

TEST_F(Plugin, UnknownOptionPrintsUsageAndExitsOne) {
  run_result r = judge(ACCEPTED_COMMAND, {"-x"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Unrecognized option: -x\n" + USAGE);
  EXPECT_EQ(summary_of(r), "<no summary>");
}

TEST_F(Plugin, EveryUnknownOptionIsReportedBeforeOneUsage) {
  run_result r = judge(ACCEPTED_COMMAND, {"-x", "-y"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err,
            "Unrecognized option: -x\nUnrecognized option: -y\n" + USAGE);
}

TEST_F(Plugin, ShowConfigWithUnknownOptionShowsOnlyUsage) {
  run_result r = judge({}, {"-s", "-x"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Unrecognized option: -x\n" + USAGE);
}

// --- Debug switch and the state dump ----------------------------------------

TEST_F(Plugin, DebugLinesStayOutOfSyslogWithoutTheSwitch) {
  run_result r = judge(ACCEPTED_COMMAND);
  EXPECT_TRUE(r.texts_at(LOG_DEBUG).empty());
  EXPECT_EQ(summary_of(r), ACCEPTED_SUMMARY);
}

TEST_F(Plugin, DebugSwitchAcceptsOnlyTrueOrOne) {
  const struct {
    const char *content;
    bool enables;
  } cases[] = {
      {"TRUE\n", true}, {"True\r\n", true}, {"1 \n", true},
      {" 1\n", false},  {"yes\n", false},   {"", false},
  };
  for (const auto &c : cases) {
    write("/etc/corvane/control/debug", c.content);
    run_result r = judge(ACCEPTED_COMMAND);
    EXPECT_EQ(r.logged_at(LOG_DEBUG, "Checking exemption lists..."), c.enables)
        << "debug file: '" << c.content << "'";
  }
}

TEST_F(Plugin, StateDumpReadsLineByLine) {
  enable_debug();
  run_result r = judge({"TCPREMOTEIP=192.0.2.1"});
  const std::vector<std::string> dump = {
      "== BEGIN STATE STRUCTURE ==",
      "IP[192.0.2.1] (country: (null))",
      "REVERSE_DNS[(null)]",
      "HELO[(null)] (country: (null)) (resolves: UNKNOWN)",
      "MAIL[(null)] (country: (null)) (resolves: UNKNOWN)",
      "RCPT[(null)]",
      "AUTH[(null)]",
      "RFC[0]",
      "MUA->MTA[0]",
      "STATE[RCPT]",
      "=== END STATE STRUCTURE ===",
  };
  std::vector<std::string> debug = r.texts_at(LOG_DEBUG);
  ASSERT_GE(debug.size(), dump.size());
  EXPECT_EQ(std::vector<std::string>(debug.begin(), debug.begin() + 11), dump);
}

TEST_F(Plugin, EngineTraceFollowsTheRulesInOrder) {
  enable_debug();
  run_result r = judge(ACCEPTED_COMMAND);
  std::vector<std::string> debug = r.texts_at(LOG_DEBUG);
  std::vector<std::string> engine(debug.begin() + 11, debug.end());
  const std::vector<std::string> expected = {
      "Checking exemption lists...",
      "Checking black lists...",
      "Checking rules...",
      "Checking 'block_lists': DUNNO",
      "Checking 'block_ip_in_addr': DUNNO",
      "Checking 'check_ip_reverse_dns': DUNNO",
      "Checking 'check_dynamic_reverse_dns': DUNNO",
      "Checking 'check_reverse_dns_list': DUNNO",
      "NOT CHECKING: 'resolve_helo_domain': disabled",
      "Checking 'require_full_addr': DUNNO",
      "Checking 'require_helo': DUNNO",
      "NOT CHECKING: 'valid_from_domain': disabled",
      "Checking 'valid_helo_domain': DUNNO",
      "NOT CHECKING: 'known_sender_forgery': disabled",
  };
  EXPECT_EQ(engine, expected);
}

// --- MUA detection -----------------------------------------------------------

TEST_F(Plugin, EmptyRelayClientMarksAnMua) {
  env_list env = ACCEPTED_COMMAND;
  env.push_back("RELAYCLIENT=");
  run_result r = judge(env);
  EXPECT_TRUE(
      r.logged_at(LOG_INFO, "RELAYCLIENT set: assuming MUA->MTA connection."));
  EXPECT_EQ(summary_of(r).substr(0, 10), "HAM: mua=1");
}

TEST_F(Plugin, AuthenticatedUserMarksAnMua) {
  env_list env = ACCEPTED_COMMAND;
  env.push_back("SMTPAUTHUSER=bob");
  run_result r = judge(env);
  EXPECT_TRUE(r.logged_at(LOG_INFO,
                          "AUTH_USER[bob] set: assuming MUA->MTA connection."));
  EXPECT_EQ(summary_of(r).substr(0, 10), "HAM: mua=1");
}

TEST_F(Plugin, EmptyAuthUserIsNoMua) {
  env_list env = ACCEPTED_COMMAND;
  env.push_back("SMTPAUTHUSER=");
  run_result r = judge(env);
  EXPECT_EQ(summary_of(r).substr(0, 10), "HAM: mua=0");
}

TEST_F(Plugin, RelayClientIsLoggedAloneWhenBothAreSet) {
  env_list env = ACCEPTED_COMMAND;
  env.push_back("RELAYCLIENT=1");
  env.push_back("SMTPAUTHUSER=bob");
  run_result r = judge(env);
  EXPECT_TRUE(r.logged("RELAYCLIENT set: assuming MUA->MTA connection."));
  EXPECT_FALSE(r.logged("AUTH_USER[bob] set: assuming MUA->MTA connection."));
}

TEST_F(Plugin, MuaSkipsTheRulesMeantForMailServers) {
  enable_debug();
  env_list env = ACCEPTED_COMMAND;
  env.push_back("RELAYCLIENT=");
  run_result r = judge(env);
  for (const char *rule : {"block_lists", "check_ip_reverse_dns",
                           "check_dynamic_reverse_dns", "check_reverse_dns_list",
                           "valid_helo_domain"})
    EXPECT_TRUE(r.logged_at(LOG_DEBUG, std::string("Skipping rule '") + rule +
                                           "' because remote system appears "
                                           "to be MUA."))
        << rule;
  for (const char *rule : {"block_ip_in_addr", "require_full_addr", "require_helo"})
    EXPECT_TRUE(r.logged_at(LOG_DEBUG, std::string("Checking '") + rule +
                                           "': DUNNO"))
        << rule;
}

// --- Verdicts ----------------------------------------------------------------

TEST_F(Plugin, AcceptedCommandWritesNothingAndLogsHam) {
  run_result r = judge(ACCEPTED_COMMAND);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(r.texts_at(LOG_INFO), std::vector<std::string>{ACCEPTED_SUMMARY});
  for (const auto &line : r.log) {
    EXPECT_EQ(line.facility, LOG_MAIL);
    EXPECT_EQ(line.ident, "corvane-spp");
  }
}

TEST_F(Plugin, EmptyEnvironmentIsJudgedToo) {
  run_result r = judge({});
  EXPECT_EQ(r.exit_status, 0);
  // Without a recipient the first rule that can judge is require_full_addr.
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[1], "P550-Reason: Invalid Recipient! You did not specify a "
                      "complete email address to send to.");
  EXPECT_EQ(summary_of(r), "SPAM[require_full_addr]: mua=0,ip=[(null):(null)],"
                           "helo=<(null)>,from=<(null)>,rcpt=<(null)>");
}

TEST_F(Plugin, ExemptionBeatsABlock) {
  write("/etc/corvane/exempt_ips", "192.0.2.1\n");
  write("/etc/corvane/blocked_ips", "192.0.2.1\n");
  run_result r = judge({"TCPREMOTEIP=192.0.2.1", "SMTPMAILFROM="});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(summary_of(r), "IP_EXEMPT: mua=0,ip=[192.0.2.1:(null)],"
                           "helo=<(null)>,from=<>,rcpt=<(null)>");
}

TEST_F(Plugin, ExemptionsAreTriedPeerRecipientSender) {
  write("/etc/corvane/exempt_users", "*@example.org\n");
  write("/etc/corvane/from_whitelist", "alice@example.net\n");
  EXPECT_EQ(summary_of(judge(ACCEPTED_COMMAND)).substr(0, 12), "RCPT_EXEMPT:");
  ASSERT_TRUE(box_->remove("/etc/corvane/exempt_users"));
  EXPECT_EQ(summary_of(judge(ACCEPTED_COMMAND)).substr(0, 15),
            "FROM_WHITELIST:");
}

TEST_F(Plugin, BothBlockListsGiveTheSenderNotice) {
  write("/etc/corvane/blocked_ips", "10.0.0.1\r\n192.0.2.66\r\n");
  write("/etc/corvane/blocked_from", "*@spam.example\n");
  run_result r = judge({"TCPREMOTEIP=192.0.2.66", "SMTPMAILFROM=eve@spam.example",
                        "SMTPRCPTTO=bob@example.org", "SMTPHELOHOST=x.example"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out,
            "P550-Your message was rejected by this system and was not "
            "delivered.\n"
            "P550-Reason: This system will not accept messages from you\n"
            "P550-Protection provided by: " CORVANE_BANNER "\n"
            "P550-For more information, please visit the URL:\n"
            "P550-" CORVANE_SITE "/empowering_the_user\n"
            "E550 or contact your ISP or mail server operator.\n");
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 6u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(lines[i].substr(0, 5), "P550-");
  EXPECT_EQ(lines[5].substr(0, 5), "E550 ");
  EXPECT_EQ(summary_of(r), "SPAM[from_blacklist]: mua=0,ip=[192.0.2.66:(null)],"
                           "helo=<x.example>,from=<eve@spam.example>,"
                           "rcpt=<bob@example.org>");
}

TEST_F(Plugin, IpBlockListNoticeNamesTheClient) {
  write("/etc/corvane/blocked_ips", "192.0.2.66\n");
  run_result r = judge({"TCPREMOTEIP=192.0.2.66", "RELAYCLIENT="});
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[1], "P550-Reason: This system will not accept messages from "
                      "your location. IP=[192.0.2.66]");
  EXPECT_EQ(lines[4], "P550-" CORVANE_SITE "/empowering_the_user");
  EXPECT_EQ(summary_of(r).substr(0, 25), "SPAM[ip_blacklist]: mua=1");
}

TEST_F(Plugin, IpListEntriesMatchOnlyTheExactAddress) {
  write("/etc/corvane/blocked_ips",
        "192.0.2.1 \n192.0.2.010\n192.0.2.*\n192.0.2.0/24\n");
  for (const char *ip : {"192.0.2.1", "192.0.2.10", "192.0.2.100"}) {
    env_list env = ACCEPTED_COMMAND;
    env[0] = std::string("TCPREMOTEIP=") + ip;
    run_result r = judge(env);
    EXPECT_EQ(r.out, "") << ip;
  }
}

TEST_F(Plugin, CustomNoticeFillsPlaceholders) {
  write("/etc/corvane/blocked_ips", "192.0.2.66\n");
  ASSERT_EQ(store_custom_notice(40, "Denied %IP% helo=%HELO% from=%FROM% "
                                    "to=%TO% rdns=%RDNS% again %IP%"),
            1);
  run_result r = judge({"TCPREMOTEIP=192.0.2.66", "SMTPHELOHOST=x.example",
                        "SMTPMAILFROM=eve@spam.example",
                        "SMTPRCPTTO=bob@example.org"});
  EXPECT_EQ(r.out, "E550 Denied 192.0.2.66 helo=x.example from=eve@spam.example "
                   "to=bob@example.org rdns=%RDNS% again 192.0.2.66. "
                   "Protection provided by: " CORVANE_BANNER "\n");
}

TEST_F(Plugin, CustomNoticeTakesPeerTextAsData) {
  write("/etc/corvane/blocked_ips", "192.0.2.66\n");
  ASSERT_EQ(store_custom_notice(40, "No %HELO% here"), 1);
  run_result r = judge({"TCPREMOTEIP=192.0.2.66",
                        "SMTPHELOHOST=%s%n%FROM%\nSX=1", "SMTPMAILFROM=a@b.example"});
  EXPECT_EQ(r.out, "E550 No %s%na@b.example?SX=1 here. Protection provided "
                   "by: " CORVANE_BANNER "\n");
}

TEST_F(Plugin, RemovedCustomNoticeRestoresTheStandardOne) {
  write("/etc/corvane/blocked_ips", "192.0.2.66\n");
  ASSERT_EQ(store_custom_notice(40, "Custom"), 1);
  ASSERT_EQ(store_custom_notice(40, ""), 1);
  run_result r = judge({"TCPREMOTEIP=192.0.2.66"});
  EXPECT_EQ(lines_of(r.out).size(), 6u) << r.out;
}

// --- Transaction log and counters ---------------------------------------------

TEST_F(Plugin, TransactionLogGetsOneLinePerRun) {
  const time_t before = time(nullptr);
  run_result r = judge(ACCEPTED_COMMAND);
  const time_t after = time(nullptr);
  ASSERT_FALSE(r.log.empty());
  const std::string tag =
      " corvane-spp[" + std::to_string(r.log.back().pid) + "]: ";
  std::vector<std::string> stamped;
  for (time_t t = before; t <= after; ++t) {
    struct tm local;
    char stamp[32];
    localtime_r(&t, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    stamped.push_back(stamp + tag + ACCEPTED_SUMMARY + "\n");
  }
  std::string log = box_->read_file("/var/log/corvane/ihlog");
  EXPECT_NE(std::find(stamped.begin(), stamped.end(), log), stamped.end())
      << log;
  judge(ACCEPTED_COMMAND);
  EXPECT_EQ(lines_of(box_->read_file("/var/log/corvane/ihlog")).size(), 2u);
}

struct day_counts {
  uint32_t day_start, ham, spam, exempt;
};

TEST_F(Plugin, CounterFileCountsHamSpamAndExempt) {
  write("/etc/corvane/blocked_from", "*@spam.example\n");
  write("/etc/corvane/exempt_ips", "192.0.2.99\n");
  time_t before = time(nullptr);
  judge(ACCEPTED_COMMAND);
  judge(ACCEPTED_COMMAND);
  judge({"TCPREMOTEIP=192.0.2.66", "SMTPMAILFROM=eve@spam.example"});
  judge({"TCPREMOTEIP=192.0.2.99"});

  struct tm local;
  localtime_r(&before, &local);
  char path[64];
  std::snprintf(path, sizeof path, "/var/log/corvane/.counter.dat.%02d",
                local.tm_mon + 1);
  std::string file = box_->read_file(path);
  ASSERT_EQ(file.size(), 500u);
  struct tm midnight {};
  midnight.tm_mday = local.tm_mday;
  midnight.tm_mon = local.tm_mon;
  midnight.tm_year = local.tm_year;
  const size_t offset = 4 + 16 * (local.tm_mday - 1);
  day_counts today;
  std::memcpy(&today, file.data() + offset, sizeof today);
  EXPECT_EQ(today.day_start, static_cast<uint32_t>(mktime(&midnight)));
  EXPECT_EQ(today.ham, 2u);
  EXPECT_EQ(today.spam, 1u);
  EXPECT_EQ(today.exempt, 1u);
  std::string rest = file;
  rest.replace(offset, 16, 16, '\0');
  EXPECT_EQ(rest, std::string(500, '\0'));
}

// --- Configuration display ------------------------------------------------------

TEST_F(Plugin, ShowConfigPrintsTheEffectiveRuleset) {
  write("/etc/corvane/control/rules.enabled",
        "known_sender_forgery\nresolve_helo_domain\nno_such_rule\n");
  write("/etc/corvane/control/rules.disabled",
        "known_sender_forgery\nrequire_helo\nRequire_full_addr\n");
  write("/etc/corvane/control/ipr.enabled", "zeta\n\nalpha\n");
  write("/etc/corvane/control/dump_core", "1\n");
  run_result r = judge({"TCPREMOTEIP=192.0.2.1"}, {"-s"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Control files:\n"
            "==============\n"
            " - Logging to mail.debug is NOT enabled.\n"
            " - Core dumps (in /var/cores/corvane) are enabled.\n"
            "\n"
            "Current Ruleset (rules are checked in order listed):\n"
            "\n"
            "RULE                        DEFAULT    CURRENT    MUA->MTA\n"
            "====                        =======    =======    ========\n"
            "block_lists                 Enabled    Enabled    No\n"
            "block_ip_in_addr            Enabled    Enabled    Yes\n"
            "check_ip_reverse_dns        Enabled    Enabled    No\n"
            "check_dynamic_reverse_dns   Enabled    Enabled    No\n"
            "check_reverse_dns_list      Enabled    Enabled    No\n"
            "resolve_helo_domain         Disabled   Enabled    No\n"
            "require_full_addr           Enabled    Enabled    Yes\n"
            "require_helo                Enabled    Disabled   Yes\n"
            "valid_from_domain           Disabled   Disabled   No\n"
            "valid_helo_domain           Enabled    Enabled    No\n"
            "known_sender_forgery        Disabled   Disabled   Yes\n"
            "\n"
            "Enabled IPR Lists:\n"
            "==================\n"
            "alpha\n"
            "zeta\n");
  EXPECT_TRUE(r.log.empty()) << r.log.front().text;
}

TEST_F(Plugin, ToggleTraceNamesEachSwitch) {
  enable_debug();
  write("/etc/corvane/control/rules.enabled", "known_sender_forgery\n");
  write("/etc/corvane/control/rules.disabled",
        "known_sender_forgery\nvalid_from_domain\n");
  run_result r = judge(ACCEPTED_COMMAND);
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "ENABLING [known_sender_forgery]"));
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "DISABLING [known_sender_forgery]"));
  EXPECT_FALSE(r.logged("DISABLING [valid_from_domain]"));
  EXPECT_TRUE(
      r.logged_at(LOG_DEBUG, "NOT CHECKING: 'known_sender_forgery': disabled"));
}

TEST_F(Plugin, ShowConfigWithoutIprListsSaysSo) {
  run_result r = judge({}, {"-s"});
  EXPECT_NE(r.err.find("==================\nNo IPR lists enabled.\n"),
            std::string::npos)
      << r.err;
}

// --- Hostile input ---------------------------------------------------------------

TEST_F(Plugin, HostileValuesAreJudgedWithoutHarm) {
  write("/etc/corvane/blocked_from", "*(\n");
  const std::string huge(30000, 'h');
  const struct {
    env_list env;
    std::string rule; // the rule that rejects it
  } values[] = {
      {{"TCPREMOTEIP=" + huge, "SMTPHELOHOST=" + huge, "SMTPMAILFROM=" + huge},
       "require_full_addr"},
      {{"TCPREMOTEIP=%s%n%x", "SMTPHELOHOST=%n%n%n%n", "SMTPMAILFROM=%s@%s"},
       "require_full_addr"},
      {{"TCPREMOTEIP=\x01\x02\x7f", "SMTPHELOHOST=h\xc3\xa9l\xff",
        "SMTPRCPTTO=a\r\nb@c.example"},
       "valid_helo_domain"},
  };
  for (const auto &value : values) {
    run_result r = judge(value.env);
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[5].substr(0, 5), "E550 ");
    EXPECT_EQ(summary_of(r).substr(0, value.rule.size() + 13),
              "SPAM[" + value.rule + "]: mua=0");
  }
  std::string log = box_->read_file("/var/log/corvane/ihlog");
  EXPECT_EQ(lines_of(log).size(), 3u);
  EXPECT_NE(log.find("from=<%s@%s>"), std::string::npos);
}

} // namespace
