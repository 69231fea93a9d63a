// End-to-end tests of the reverse-DNS rules (check_ip_reverse_dns,
// check_dynamic_reverse_dns, check_reverse_dns_list): the real corvane-spp
// binary inside a sandbox whose resolver asks only the test DNS server on
// 127.0.0.1, with the pattern files under /etc/corvane/dynaregex written by
// each case.

#ifdef CORVANE_DNS_PROBE_PATH

#include "rules/product.h"
#include "sandbox.h"
#include "test_dns.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

using sandbox::run_result;
using sandbox::Sandbox;
using test_dns::TestDns;
using env_list = std::vector<std::string>;
using lines = std::vector<std::string>;
using namespace test_dns; // the answer types A, MX, PTR, NXDOMAIN, SERVFAIL

const std::string PLUGIN = CORVANE_SPP_PATH;

const std::string PTR_NAME = "10.2.0.192.in-addr.arpa";
const std::string PTR_QUERY = PTR_NAME + " PTR";
const std::string DSL_FILE = "/etc/corvane/dynaregex/dyna.regexes";
const std::string SPAM_FILE = "/etc/corvane/dynaregex/spam.regexes";

// An RCPT command from 192.0.2.10 that passes every other default rule.
// Without TCPREMOTEHOST, unless one is given: the rules look the name up.
env_list command(const char *remote_host = nullptr) {
  env_list env = {"TCPREMOTEIP=192.0.2.10", "SMTPHELOHOST=mail.example.net",
                  "SMTPMAILFROM=alice@example.net",
                  "SMTPRCPTTO=bob@example.org"};
  if (remote_host)
    env.push_back(std::string("TCPREMOTEHOST=") + remote_host);
  return env;
}

// The summary of that command; `host` as the record holds it.
std::string summary_for(const std::string &status, const std::string &host) {
  return status + ": mua=0,ip=[192.0.2.10:" + host +
         "],helo=<mail.example.net>,from=<alice@example.net>,"
         "rcpt=<bob@example.org>";
}

// The standard six-line notice with the catalogue's reason and the rule's
// page.
std::string notice(const std::string &reason, const std::string &rule) {
  return "P550-Your message was rejected by this system and was not "
         "delivered.\n"
         "P550-Reason: " +
         reason +
         "\n"
         "P550-Protection provided by: " CORVANE_BANNER "\n"
         "P550-For more information, please visit the URL:\n"
         "P550-" CORVANE_SITE "/best_practices/" +
         rule +
         ".html\n"
         "E550 or contact your ISP or mail server operator.\n";
}

const std::string NO_RDNS_REASON =
    "This system will not accept messages from servers/devices with no "
    "reverse DNS. IP=[192.0.2.10]";
const std::string DYNAMIC_REASON =
    "Your IP address [192.0.2.10] appears not to be an email server.";
const std::string SPAM_LIST_REASON =
    "Your hostname matches a pattern which was abused in the past, and "
    "rejected by the system. IP=[192.0.2.10]";

class RdnsRules : public ::testing::Test {
protected:
  void SetUp() override {
    std::string why = Sandbox::unavailable_reason();
    if (!why.empty())
      GTEST_SKIP() << "no sandbox here: " << why;
    box_ = std::make_unique<Sandbox>();
    ASSERT_TRUE(box_->ok()) << box_->error();
    ASSERT_TRUE(box_->use_dns_server_at_localhost()) << box_->error();
  }

  // The test DNS server goes before the sandbox.
  void TearDown() override {
    dns_.reset();
    box_.reset();
  }

  TestDns &serve(const std::vector<test_dns::record> &table) {
    dns_ = std::make_unique<TestDns>(table);
    EXPECT_TRUE(dns_->ok()) << dns_->error();
    return *dns_;
  }

  run_result judge(const env_list &env) {
    run_result r = box_->run(PLUGIN, {}, env);
    EXPECT_TRUE(r.harness_error.empty()) << r.harness_error;
    EXPECT_FALSE(r.wrapper_failed) << r.err;
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r;
  }

  void write(const std::string &path, const std::string &content) {
    ASSERT_TRUE(box_->write_file(path, content)) << path;
  }

  void enable_debug() { write("/etc/corvane/control/debug", "true\n"); }

  // Both pattern files, matching nothing a test uses unless it says so.
  void install_pattern_files() {
    write(DSL_FILE, "# dynamic pools\n\\.pool\\.invalid$\n");
    write(SPAM_FILE, "# spam sources\n\\.spam\\.invalid$\n");
  }

  static std::string summary_of(const run_result &r) {
    for (const auto &line : r.log)
      if (line.priority == LOG_INFO && (line.text.rfind("HAM: ", 0) == 0 ||
                                        line.text.rfind("SPAM[", 0) == 0))
        return line.text;
    return "<no summary>";
  }

  // The engine's trace lines of the three rules, in order.
  static lines rule_trace(const run_result &r) {
    lines trace;
    for (const std::string &text : r.texts_at(LOG_DEBUG))
      if (text.find("reverse_dns") != std::string::npos &&
          text.rfind("Checking '", 0) == 0)
        trace.push_back(text);
    return trace;
  }

  static lines three_rules(const char *ip, const char *dynamic,
                           const char *list) {
    return {std::string("Checking 'check_ip_reverse_dns': ") + ip,
            std::string("Checking 'check_dynamic_reverse_dns': ") + dynamic,
            std::string("Checking 'check_reverse_dns_list': ") + list};
  }

  std::unique_ptr<Sandbox> box_;
  std::unique_ptr<TestDns> dns_;
};

// ---- check_ip_reverse_dns
// ------------------------------------------------------

TEST_F(RdnsRules, ClientWithoutAPtrRecordIsRejected) {
  install_pattern_files();
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, notice(NO_RDNS_REASON, "check_ip_reverse_dns"));
  // The name was looked up in the rule's copy of the record only.
  EXPECT_EQ(summary_of(r), summary_for("SPAM[check_ip_reverse_dns]", "(null)"));
  EXPECT_EQ(dns.queries(), lines{PTR_QUERY});
}

TEST_F(RdnsRules, ClientWithoutAnyRecordIsRejectedToo) {
  install_pattern_files();
  TestDns &dns = serve({});
  run_result r = judge(command());
  EXPECT_EQ(summary_of(r), summary_for("SPAM[check_ip_reverse_dns]", "(null)"));
  EXPECT_EQ(dns.queries(), lines{PTR_QUERY});
}

TEST_F(RdnsRules, EmptyFrontEndNamePassesTheFirstRuleWithoutAQuery) {
  install_pattern_files();
  enable_debug();
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  run_result r = judge(command(""));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rule_trace(r), three_rules("DUNNO", "DUNNO", "DUNNO"));
  EXPECT_EQ(summary_of(r), summary_for("HAM", ""));
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(RdnsRules, EmptyFrontEndNameIsSearchedInTheSpamList) {
  write(SPAM_FILE, "^$\n");
  TestDns &dns = serve({});
  run_result r = judge(command(""));
  EXPECT_EQ(r.out, notice(SPAM_LIST_REASON, "check_reverse_dns_list"));
  EXPECT_EQ(summary_of(r), summary_for("SPAM[check_reverse_dns_list]", ""));
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(RdnsRules, ServerFailureLeavesAllThreeUndecided) {
  install_pattern_files();
  enable_debug();
  TestDns &dns = serve({{PTR_NAME, SERVFAIL}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rule_trace(r), three_rules("TEMPFAIL", "TEMPFAIL", "TEMPFAIL"));
  EXPECT_EQ(summary_of(r), summary_for("HAM", "(null)"));
  // Each rule asks again, and the lookup tries three times.
  EXPECT_EQ(r.texts_at(LOG_ERR), lines(3, "gethostbyaddr() retried 3 times"));
  EXPECT_EQ(dns.queries(), lines(9, PTR_QUERY));
}

TEST_F(RdnsRules, NamedClientIsLookedUpByEachRule) {
  install_pattern_files();
  enable_debug();
  TestDns &dns = serve({{PTR_NAME, PTR, "mail.example.net"}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rule_trace(r), three_rules("DUNNO", "DUNNO", "DUNNO"));
  EXPECT_EQ(summary_of(r), summary_for("HAM", "(null)"));
  EXPECT_EQ(dns.queries(), lines(3, PTR_QUERY));
  int resolved = 0;
  for (const std::string &text : r.texts_at(LOG_DEBUG))
    resolved += text == "lookupReverseDNS(): resolved to [mail.example.net]";
  EXPECT_EQ(resolved, 3);
}

TEST_F(RdnsRules, FrontEndNameSparesEveryQuery) {
  install_pattern_files();
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  run_result r = judge(command("mail.example.net"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.texts_at(LOG_INFO),
            lines{summary_for("HAM", "mail.example.net")});
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(RdnsRules, MuaIsNotAskedForAName) {
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  env_list env = command();
  env.push_back("RELAYCLIENT=");
  run_result r = judge(env);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dns.queries(), lines{});
}

// ---- check_dynamic_reverse_dns
// --------------------------------------------------

TEST_F(RdnsRules, DynamicLookingNameIsRejected) {
  TestDns &dns = serve({{PTR_NAME, PTR, "host-192-0-2-10.dsl.example"}});
  write(SPAM_FILE, "");
  run_result r = judge(command());
  EXPECT_EQ(r.out, notice(DYNAMIC_REASON, "check_dynamic_reverse_dns"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[check_dynamic_reverse_dns]", "(null)"));
  EXPECT_EQ(dns.queries(), lines(2, PTR_QUERY));
  // No dyna.regexes: the built-in pattern decided.
  EXPECT_TRUE(r.logged_at(LOG_INFO, "Warning: checkRegexList(): unable to "
                                    "open file '" +
                                        DSL_FILE + "'"));
}

TEST_F(RdnsRules, DynamicLookingFrontEndNameIsRejected) {
  write(SPAM_FILE, "");
  TestDns &dns = serve({});
  run_result r = judge(command("c-10-1-2-3.cable.example"));
  EXPECT_EQ(r.out, notice(DYNAMIC_REASON, "check_dynamic_reverse_dns"));
  EXPECT_EQ(summary_of(r), summary_for("SPAM[check_dynamic_reverse_dns]",
                                       "c-10-1-2-3.cable.example"));
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(RdnsRules, DynamicPatternFileDecidesWhenPresent) {
  install_pattern_files();
  enable_debug();
  serve({});
  run_result r = judge(command("c7.POOL.invalid"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[check_dynamic_reverse_dns]", "c7.POOL.invalid"));
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "checkRegexList(" + DSL_FILE +
                                         ", line 2): hit [c7.POOL.invalid]"
                                         "[\\.pool\\.invalid$]"));
  // The file matched nothing here, so the built-in pattern is not used.
  r = judge(command("host-10-1-2-3.example"));
  EXPECT_EQ(r.out, "");
}

TEST_F(RdnsRules, MissingNameIsRejectedByTheDynamicRuleToo) {
  install_pattern_files();
  write("/etc/corvane/control/rules.disabled", "check_ip_reverse_dns\n");
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, notice(DYNAMIC_REASON, "check_dynamic_reverse_dns"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[check_dynamic_reverse_dns]", "(null)"));
  EXPECT_EQ(dns.queries(), lines{PTR_QUERY});
}

// ---- check_reverse_dns_list
// ------------------------------------------------------

TEST_F(RdnsRules, NameOnTheSpamListIsRejected) {
  write(DSL_FILE, "");
  write(SPAM_FILE, "# known spam sources\n\n^mx[0-9]+\\.spammy\\.example$\n");
  enable_debug();
  TestDns &dns = serve({{PTR_NAME, PTR, "MX7.spammy.example"}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, notice(SPAM_LIST_REASON, "check_reverse_dns_list"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[check_reverse_dns_list]", "(null)"));
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "checkRegexList(" + SPAM_FILE +
                                         ", line 3): hit [MX7.spammy.example]"
                                         "[^mx[0-9]+\\.spammy\\.example$]"));
  EXPECT_EQ(dns.queries(), lines(3, PTR_QUERY));
}

TEST_F(RdnsRules, MissingNameIsNoReasonForTheSpamList) {
  install_pattern_files();
  write("/etc/corvane/control/rules.disabled",
        "check_ip_reverse_dns\ncheck_dynamic_reverse_dns\n");
  write(SPAM_FILE, "^$\n.\n");
  enable_debug();
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(
      r.logged_at(LOG_DEBUG, "Checking 'check_reverse_dns_list': DUNNO"));
  EXPECT_EQ(dns.queries(), lines{PTR_QUERY});
}

TEST_F(RdnsRules, BrokenSpamPatternIsLoggedAndPasses) {
  write(DSL_FILE, "");
  write(SPAM_FILE, "# one broken line\n(\n");
  enable_debug();
  serve({});
  run_result r = judge(command("mail.example.net"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rule_trace(r), three_rules("DUNNO", "DUNNO", "TEMPFAIL"));
  EXPECT_EQ(r.texts_at(LOG_INFO),
            (lines{"Warning: checkRegexList(" + SPAM_FILE +
                       "): regcomp(line 2): Unmatched ( or \\(",
                   summary_for("HAM", "mail.example.net")}));
}

TEST_F(RdnsRules, MissingSpamListPasses) {
  write(DSL_FILE, "");
  enable_debug();
  serve({});
  run_result r = judge(command("mail.example.net"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rule_trace(r), three_rules("DUNNO", "DUNNO", "TEMPFAIL"));
  EXPECT_TRUE(r.logged_at(LOG_INFO, "Warning: checkRegexList(): unable to "
                                    "open file '" +
                                        SPAM_FILE + "'"));
  EXPECT_EQ(summary_of(r), summary_for("HAM", "mail.example.net"));
}

TEST_F(RdnsRules, PatternLongerThanAPieceIsSplit) {
  write(DSL_FILE, "");
  // 1023 characters that match nothing, then "spammy" as a pattern of its
  // own on line 2.
  write(SPAM_FILE, "^" + std::string(1022, 'z') + "spammy\n");
  enable_debug();
  serve({});
  run_result r = judge(command("mx.spammy.example"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[check_reverse_dns_list]", "mx.spammy.example"));
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "checkRegexList(" + SPAM_FILE +
                                         ", line 2): hit [mx.spammy.example]"
                                         "[spammy]"));
}

} // namespace

#else

#include <gtest/gtest.h>

TEST(RdnsRules, NeedsTheTestDnsServer) {
  GTEST_SKIP() << "tests/dns is not part of this build "
                  "(add_subdirectory(tests/dns) after tests/e2e)";
}

#endif
