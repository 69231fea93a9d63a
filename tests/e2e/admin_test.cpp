// End-to-end tests of corvane-admin: each change is made by the real admin
// program and seen by the next run of the real plug-in, inside the sandbox
// (private /etc/corvane, /var/log/corvane, /var/cache/ipr, syslog socket
// and shared-memory segments).

#include "e2e_support.h"
#include "rules/product.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

using namespace e2e;

const std::string ADMIN = CORVANE_ADMIN_PATH;

const env_list FROM_BLOCKED_IP = {
    "TCPREMOTEIP=192.0.2.66", "SMTPHELOHOST=x.example",
    "SMTPMAILFROM=eve@spam.example", "SMTPRCPTTO=bob@example.org"};

const std::string RULE_NAMES =
    "block_lists, block_ip_in_addr, check_ip_reverse_dns, "
    "check_dynamic_reverse_dns, check_reverse_dns_list, resolve_helo_domain, "
    "require_full_addr, require_helo, valid_from_domain, valid_helo_domain, "
    "known_sender_forgery";

class Admin : public SandboxTest {
protected:
  run_result admin(const args_list &args) { return checked(ADMIN, args, {}); }

  // Runs corvane-admin and expects it to succeed with `out` on stdout.
  void change(const args_list &args, const std::string &out) {
    run_result r = admin(args);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
  }

  std::string file(const std::string &path) { return box_->read_file(path); }
  bool exists(const std::string &path) { return box_->exists(path); }
};

// --- Lists
// --------------------------------------------------------------------

TEST_F(Admin, AddedBlockedIpRejectsTheNextCommand) {
  EXPECT_EQ(judge(FROM_BLOCKED_IP).out, "");
  run_result r = admin({"list", "blocked_ips", "add", "192.0.2.66"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "blocked_ips: added '192.0.2.66'\n");
  EXPECT_TRUE(r.logged_at(LOG_INFO, "blocked_ips: added '192.0.2.66'"));
  EXPECT_EQ(file("/etc/corvane/blocked_ips"), "192.0.2.66\n");
  EXPECT_FALSE(exists("/etc/corvane/blocked_ips.tmp"));

  run_result rejected = judge(FROM_BLOCKED_IP);
  EXPECT_TRUE(starts_with(rejected.out, "P550-")) << rejected.out;
  EXPECT_NE(rejected.out.find("IP=[192.0.2.66]"), std::string::npos);

  change({"list", "blocked_ips", "del", "192.0.2.66"},
         "blocked_ips: deleted '192.0.2.66'\n");
  EXPECT_EQ(judge(FROM_BLOCKED_IP).out, "");
}

TEST_F(Admin, ListShowGivesTheEntriesAndClearDeletesTheList) {
  write("/etc/corvane/exempt_users", "a@example.org\n\n*@example.net\n");
  change({"list", "exempt_users", "show"}, "a@example.org\n*@example.net\n");
  change({"list", "exempt_users", "add", "b@example.org"},
         "exempt_users: added 'b@example.org'\n");
  EXPECT_EQ(file("/etc/corvane/exempt_users"),
            "a@example.org\n*@example.net\nb@example.org\n");
  change({"list", "exempt_users", "clear"}, "exempt_users: list cleared\n");
  EXPECT_FALSE(exists("/etc/corvane/exempt_users"));
  change({"list", "exempt_users", "show"}, "");
}

TEST_F(Admin, AWildcardSenderBlockRejectsTheNextCommand) {
  change({"list", "blocked_from", "add", "*@spam.example"},
         "blocked_from: added '*@spam.example'\n");
  run_result r = judge(FROM_BLOCKED_IP);
  EXPECT_NE(r.out.find("P550-Reason: This system will not accept messages "
                       "from you\n"),
            std::string::npos)
      << r.out;
}

TEST_F(Admin, AFailedChangeExitsOneWithTheReasonOnStderr) {
  write("/etc/corvane/from_whitelist", "user@example.com\n");
  run_result r = admin({"list", "from_whitelist", "add", "User@Example.com"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "add_entry() ERROR: Entry already exists.\n");
  EXPECT_EQ(r.err, "corvane-admin: add_entry() ERROR: Entry already exists.\n");
  EXPECT_TRUE(r.logged_at(LOG_ERR, "add_entry() ERROR: Entry already exists."));

  r = admin({"list", "from_whitelist", "del", "nobody@example.com"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out,
            "del_entry() ERROR: Entry not found. (nobody@example.com)\n");
  EXPECT_EQ(r.err, "corvane-admin: del_entry() ERROR: Entry not found. "
                   "(nobody@example.com)\n");
  EXPECT_EQ(file("/etc/corvane/from_whitelist"), "user@example.com\n");
}

TEST_F(Admin, ALockHeldElsewhereFailsTheChangeAfterAboutThreeSeconds) {
  write("/etc/corvane/blocked_ips", "192.0.2.1\n");
  // This process is inside the sandbox: its lock is on the sandbox's list.
  int fd = open("/etc/corvane/blocked_ips", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  const auto start = std::chrono::steady_clock::now();
  run_result r = admin({"list", "blocked_ips", "add", "192.0.2.2"});
  const auto took = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "add_entry() ERROR: Failed to update list: Could not "
                   "acquire lock.\n");
  EXPECT_EQ(r.err, "corvane-admin: add_entry() ERROR: Failed to update list: "
                   "Could not acquire lock.\n");
  EXPECT_GE(took, std::chrono::milliseconds(2900));
  EXPECT_EQ(file("/etc/corvane/blocked_ips"), "192.0.2.1\n");
}

struct refused_case {
  const char *list;
  std::string entry;
  std::string reason;
};

TEST_F(Admin, EntriesThePlugInWouldPassOverAreRefusedUnlessForced) {
  const refused_case cases[] = {
      {"blocked_ips", "192.0.2.0/24",
       "'192.0.2.0/24' is no dotted-quad IPv4 address; the plug-in passes "
       "over it"},
      {"exempt_ips", "192.0.2.*",
       "'192.0.2.*' is no dotted-quad IPv4 address; the plug-in passes over "
       "it"},
      {"exempt_ips", "example.com",
       "'example.com' is no dotted-quad IPv4 address; the plug-in passes "
       "over it"},
      {"blocked_from", "*@[spam.example",
       "'*@[spam.example' is no valid pattern ("},
      {"from_whitelist", " a@example.com",
       "an entry with blanks at its ends never matches"},
      {"exempt_users", "a@example.com\t",
       "an entry with blanks at its ends never matches"},
      {"blocked_ips", "", "an empty entry matches nothing"},
      {"blocked_from", "a@example.com\nb@example.com",
       "an entry cannot hold a line feed"},
      {"blocked_from", std::string(1023, 'x'),
       "an entry of 1023 bytes or more is skipped by the plug-in"},
  };
  for (const refused_case &c : cases) {
    SCOPED_TRACE(std::string(c.list) + " '" + c.entry + "'");
    run_result r = admin({"list", c.list, "add", c.entry});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    const std::string head =
        "corvane-admin: "s + c.list + ": refused: " + c.reason;
    EXPECT_TRUE(starts_with(r.err, head)) << r.err;
    EXPECT_NE(r.err.find("(--force adds it anyway)\n"), std::string::npos)
        << r.err;
    EXPECT_FALSE(exists("/etc/corvane/"s + c.list));
  }
  change({"--force", "list", "blocked_ips", "add", "192.0.2.0/24"},
         "blocked_ips: added '192.0.2.0/24'\n");
  change({"list", "blocked_from", "add", "--force", "--", "*@[spam.example"},
         "blocked_from: added '*@[spam.example'\n");
  EXPECT_EQ(file("/etc/corvane/blocked_ips"), "192.0.2.0/24\n");
  EXPECT_EQ(file("/etc/corvane/blocked_from"), "*@[spam.example\n");
}

// --- Rules
// ----------------------------------------------------------------------

TEST_F(Admin, ADisabledRuleIsSkippedByTheNextCommand) {
  write("/etc/corvane/control/debug", "true\n");
  EXPECT_FALSE(
      judge(ACCEPTED_COMMAND).logged("NOT CHECKING: 'require_helo': disabled"));
  change({"rules", "disable", "require_helo"},
         "rule require_helo: Disabled (built-in default Enabled)\n");
  EXPECT_EQ(file("/etc/corvane/control/rules.disabled"), "require_helo\n");
  EXPECT_TRUE(
      judge(ACCEPTED_COMMAND)
          .logged_at(LOG_DEBUG, "NOT CHECKING: 'require_helo': disabled"));

  change({"rules", "default", "require_helo"},
         "rule require_helo: Enabled (built-in default Enabled)\n");
  EXPECT_FALSE(exists("/etc/corvane/control/rules.disabled"));
  EXPECT_FALSE(
      judge(ACCEPTED_COMMAND).logged("NOT CHECKING: 'require_helo': disabled"));
}

TEST_F(Admin, AnEnabledRuleRunsInTheNextCommand) {
  write("/etc/corvane/control/debug", "true\n");
  EXPECT_TRUE(judge(ACCEPTED_COMMAND)
                  .logged("NOT CHECKING: 'known_sender_forgery': disabled"));
  change({"rules", "enable", "known_sender_forgery"},
         "rule known_sender_forgery: Enabled (built-in default Disabled)\n");
  EXPECT_EQ(file("/etc/corvane/control/rules.enabled"),
            "known_sender_forgery\n");
  run_result r = judge(ACCEPTED_COMMAND);
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "ENABLING [known_sender_forgery]"));
  EXPECT_FALSE(r.logged("NOT CHECKING: 'known_sender_forgery': disabled"));
}

TEST_F(Admin, RuleSwitchesLetDisabledWin) {
  write("/etc/corvane/control/rules.enabled",
        "known_sender_forgery\nresolve_helo_domain\n");
  write("/etc/corvane/control/rules.disabled",
        "require_helo\nknown_sender_forgery\nrequire_helo\n");
  // Off by default, named in both files: enabling takes it out of
  // rules.disabled and keeps it in rules.enabled.
  change({"rules", "enable", "known_sender_forgery"},
         "rule known_sender_forgery: Enabled (built-in default Disabled)\n");
  EXPECT_EQ(file("/etc/corvane/control/rules.enabled"),
            "known_sender_forgery\nresolve_helo_domain\n");
  EXPECT_EQ(file("/etc/corvane/control/rules.disabled"),
            "require_helo\nrequire_helo\n");
  // On by default: enabling only takes it out of rules.disabled.
  change({"rules", "enable", "require_helo"},
         "rule require_helo: Enabled (built-in default Enabled)\n");
  EXPECT_FALSE(exists("/etc/corvane/control/rules.disabled"));
  EXPECT_EQ(file("/etc/corvane/control/rules.enabled"),
            "known_sender_forgery\nresolve_helo_domain\n");
  // Disabling adds it to rules.disabled and takes it out of rules.enabled.
  change({"rules", "disable", "resolve_helo_domain"},
         "rule resolve_helo_domain: Disabled (built-in default Disabled)\n");
  EXPECT_EQ(file("/etc/corvane/control/rules.disabled"),
            "resolve_helo_domain\n");
  EXPECT_EQ(file("/etc/corvane/control/rules.enabled"),
            "known_sender_forgery\n");

  run_result shown = admin({"rules", "show"});
  EXPECT_EQ(shown.exit_status, 0);
  EXPECT_NE(shown.out.find("\nresolve_helo_domain         Disabled   "
                           "Disabled   No\n"),
            std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("\nknown_sender_forgery        Disabled   "
                           "Enabled    Yes\n"),
            std::string::npos);
  // The same table as the plug-in's -s.
  run_result plugin_shown = checked(PLUGIN, {"-s"}, {});
  EXPECT_NE(plugin_shown.err.find(shown.out), std::string::npos)
      << plugin_shown.err;
}

TEST_F(Admin, ANameThatIsNoRuleIsRefused) {
  run_result r = admin({"rules", "disable", "Require_helo"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "corvane-admin: 'Require_helo' is no rule; the rules are: " +
                       RULE_NAMES + "\n");
  EXPECT_FALSE(exists("/etc/corvane/control/rules.disabled"));
}

// --- IP-reputation lists
// ------------------------------------------------------------

TEST_F(Admin, IprListsAreSwitchedWithAWarningForAMissingMapFile) {
  write("/var/cache/ipr/alpha", "map");
  run_result r = admin({"ipr", "enable", "zeta"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "IPR list zeta: enabled\n");
  EXPECT_EQ(r.err, "corvane-admin: warning: no map file /var/cache/ipr/zeta "
                   "exists; enabling it anyway\n");
  change({"ipr", "enable", "alpha"}, "IPR list alpha: enabled\n");
  EXPECT_EQ(file("/etc/corvane/control/ipr.enabled"), "alpha\nzeta\n");
  change({"ipr", "show"}, "alpha\nzeta  (no map file in the cache)\n");
  run_result shown = checked(PLUGIN, {"-s"}, {});
  EXPECT_NE(shown.err.find("==================\nalpha\nzeta\n"),
            std::string::npos)
      << shown.err;

  change({"ipr", "disable", "zeta"}, "IPR list zeta: disabled\n");
  EXPECT_EQ(file("/etc/corvane/control/ipr.enabled"), "alpha\n");
  change({"ipr", "disable", "alpha"}, "IPR list alpha: disabled\n");
  EXPECT_FALSE(exists("/etc/corvane/control/ipr.enabled"));
  change({"ipr", "show"}, "No IPR lists enabled.\n");
}

TEST_F(Admin, NamesThatCannotBeMapFilesAreRefused) {
  for (const char *name : {"../etc/passwd", ".hidden", "a/b", "", "a b"}) {
    run_result r = admin({"ipr", "enable", name});
    EXPECT_EQ(r.exit_status, 1) << name;
    EXPECT_EQ(r.err, "corvane-admin: '"s + name + "' cannot name a map file\n");
  }
  EXPECT_FALSE(exists("/etc/corvane/control/ipr.enabled"));
}

// --- Custom notices
// -------------------------------------------------------------------

TEST_F(Admin, ACustomNoticeIsTheNextRejectionsText) {
  write("/etc/corvane/blocked_ips", "192.0.2.66\n");
  change({"notice", "set", "ip_blacklist", "Go away, %IP%"},
         "notice ip_blacklist (40): custom text set\n");
  EXPECT_EQ(judge(FROM_BLOCKED_IP).out,
            "E550 Go away, 192.0.2.66. Protection provided by: " CORVANE_BANNER
            "\n");
  change({"notice", "show", "40"},
         "Notice ip_blacklist (40) has the custom text: Go away, %IP%\n"
         "Placeholders: %IP% %HELO% %FROM% %TO% %RDNS%\n");

  // Several words make one text.
  change({"notice", "set", "40", "Not", "from", "%HELO%"},
         "notice ip_blacklist (40): custom text set\n");
  EXPECT_EQ(judge(FROM_BLOCKED_IP).out,
            "E550 Not from x.example. Protection provided by: " CORVANE_BANNER
            "\n");

  change({"notice", "clear", "ip_blacklist"},
         "notice ip_blacklist (40): the standard notice applies\n");
  EXPECT_TRUE(starts_with(judge(FROM_BLOCKED_IP).out,
                          "P550-Your message was rejected"));
  change({"notice", "show", "ip_blacklist"},
         "Notice ip_blacklist (40) has no custom text: the standard notice "
         "applies.\nPlaceholders: %IP% %HELO% %FROM% %TO% %RDNS%\n");
}

TEST_F(Admin, NoticeNamesAndTextsAreChecked) {
  for (const char *name : {"spam_check", "0", "47", "no_such_notice", "4x"}) {
    run_result r = admin({"notice", "show", name});
    EXPECT_EQ(r.exit_status, 1) << name;
    EXPECT_TRUE(starts_with(r.err, "corvane-admin: '"s + name +
                                       "' names no notice that can have a "
                                       "custom text; the notices are: "
                                       "smtp_blocking, valid_from_domain, "))
        << r.err;
  }
  run_result r = admin({"notice", "set", "require_helo", "two\r\nlines"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "corvane-admin: notice require_helo (21): refused: a "
                   "control character would break the SMTP reply (--force "
                   "stores it anyway)\n");
  r = admin({"notice", "set", "require_helo", ""});
  EXPECT_EQ(r.exit_status, 1);
  change({"notice", "show", "require_helo"},
         "Notice require_helo (21) has no custom text: the standard notice "
         "applies.\nPlaceholders: %IP% %HELO% %FROM% %TO% %RDNS%\n");
}

// --- Counters
// -----------------------------------------------------------------------------

TEST_F(Admin, StatsShowTheCountsOfThePlugInsRuns) {
  write("/etc/corvane/blocked_from", "*@spam.example\n");
  write("/etc/corvane/exempt_ips", "192.0.2.99\n");
  const time_t now = time(nullptr);
  judge(ACCEPTED_COMMAND);
  judge(ACCEPTED_COMMAND);
  judge(FROM_BLOCKED_IP);
  judge({"TCPREMOTEIP=192.0.2.99"});

  struct tm local;
  localtime_r(&now, &local);
  char month[16], path[64], today[16];
  std::snprintf(month, sizeof month, "%02d", local.tm_mon + 1);
  std::snprintf(path, sizeof path, "/var/log/corvane/.counter.dat.%s", month);
  std::strftime(today, sizeof today, "%Y-%m-%d", &local);
  const std::string counts = "         2         1         1         4  "
                             "#####                 25%\n";
  const std::string expected =
      "Counts of month "s + month + " (" + path + "):\n\n" +
      "Day              Ham      Spam    Exempt       All  Spam share\n" +
      today + counts + "Total     " + counts;
  change({"stats"}, expected);
  change({"stats", std::to_string(local.tm_mon + 1)}, expected);

  const int other = local.tm_mon == 0 ? 12 : local.tm_mon;
  char other_path[64];
  std::snprintf(other_path, sizeof other_path,
                "/var/log/corvane/.counter.dat.%02d", other);
  char missing[128];
  std::snprintf(missing, sizeof missing,
                "No counts for month %02d: %s does not exist.\n", other,
                other_path);
  change({"stats", std::to_string(other)}, missing);

  write(other_path, "short");
  run_result r = admin({"stats", std::to_string(other)});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "corvane-admin: "s + other_path +
                       " has 5 bytes, not 500: it is no counter file\n");
}

// --- Command line
// -------------------------------------------------------------------------

TEST_F(Admin, UsageErrorsExitTwoWithTheUsageOnStderr) {
  const args_list wrong[] = {
      {},
      {"frobnicate"},
      {"--verbose", "stats"},
      {"list", "blocked_ipz", "show"},
      {"list", "blocked_ips", "add"},
      {"list", "blocked_ips", "add", "192.0.2.1", "192.0.2.2"},
      {"list", "blocked_ips", "sort"},
      {"rules", "toggle", "require_helo"},
      {"rules", "enable"},
      {"ipr", "enable"},
      {"notice", "set", "ip_blacklist"},
      {"stats", "0"},
      {"stats", "13"},
      {"stats", "1x"},
      {"stats", "1", "2"},
  };
  for (const args_list &args : wrong) {
    std::string line;
    for (const std::string &a : args)
      line += " " + a;
    run_result r = admin(args);
    EXPECT_EQ(r.exit_status, 2) << line;
    EXPECT_EQ(r.out, "") << line;
    EXPECT_TRUE(starts_with(r.err, "corvane-admin: ")) << line << r.err;
    EXPECT_NE(r.err.find("Usage:"), std::string::npos) << line << r.err;
  }
}

TEST_F(Admin, HelpOnEveryLevelExitsZero) {
  run_result top = admin({"--help"});
  EXPECT_EQ(top.exit_status, 0);
  EXPECT_TRUE(starts_with(top.out, "Usage: corvane-admin [--force] COMMAND"));
  for (const char *command : {"list", "rules", "ipr", "notice", "stats"}) {
    EXPECT_NE(top.out.find("  corvane-admin "s + command + " "),
              std::string::npos)
        << command;
    run_result r = admin({command, "--help"});
    EXPECT_EQ(r.exit_status, 0) << command;
    EXPECT_TRUE(starts_with(r.out, "Usage:\n  corvane-admin " +
                                       std::string(command) + " "))
        << r.out;
    EXPECT_EQ(r.err, "");
  }
  run_result deep = admin({"list", "blocked_ips", "add", "-h"});
  EXPECT_EQ(deep.exit_status, 0);
  EXPECT_TRUE(starts_with(deep.out, "Usage:\n  corvane-admin list NAME show"));
  EXPECT_FALSE(exists("/etc/corvane/blocked_ips"));
}

TEST_F(Admin, BuiltMapBlocksTheClientsItLists) {
  write("/etc/corvane/networks.txt",
        "# test networks\n203.0.113.0/25\n198.51.100.7 # one host\n");
  change({"ipr", "build", "/etc/corvane/networks.txt", "/var/cache/ipr/local"},
         "IPR map /var/cache/ipr/local written from "
         "/etc/corvane/networks.txt\n");
  change({"ipr", "test", "local", "203.0.113.127"}, "203.0.113.127 is on local\n");
  change({"ipr", "test", "local", "203.0.113.128"},
         "203.0.113.128 is NOT on local\n");
  change({"ipr", "enable", "local"}, "IPR list local: enabled\n");

  env_list listed = ACCEPTED_COMMAND;
  listed[0] = "TCPREMOTEIP=198.51.100.7";
  run_result r = judge(listed);
  EXPECT_NE(r.out.find("P550-Reason: This system uses IPR to check your IP "
                       "address reputation, and was rejected by the system. "
                       "IP=[198.51.100.7]\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(judge(ACCEPTED_COMMAND).out, "");
}

TEST_F(Admin, MapBuildRefusesABadLineAndKeepsTheOldMap) {
  write("/etc/corvane/networks.txt", "192.0.2.0/24\n");
  change({"ipr", "build", "/etc/corvane/networks.txt", "/var/cache/ipr/local"},
         "IPR map /var/cache/ipr/local written from "
         "/etc/corvane/networks.txt\n");
  const std::string built = box_->read_file("/var/cache/ipr/local");
  write("/etc/corvane/networks.txt", "192.0.2.0/24\n10.0.0.256\n");
  run_result r =
      admin({"ipr", "build", "/etc/corvane/networks.txt", "/var/cache/ipr/local"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(starts_with(r.err, "corvane-admin: ipr build: line 2: ")) << r.err;
  EXPECT_EQ(box_->read_file("/var/cache/ipr/local"), built);
  EXPECT_FALSE(exists("/var/cache/ipr/local.tmp"));
}

} // namespace
