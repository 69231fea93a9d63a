// End-to-end tests of the reverse-DNS rules (check_ip_reverse_dns,
// check_dynamic_reverse_dns, check_reverse_dns_list): the real corvane-spp
// binary inside a sandbox whose resolver asks only the test DNS server on
// 127.0.0.1, with the pattern files under /etc/corvane/dynaregex written by
// each case.

#include "e2e_support.h"

#ifdef CORVANE_DNS_PROBE_PATH

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>
#include <vector>

namespace {

using namespace e2e;
using test_dns::TestDns;
using namespace test_dns; // the answer types A, MX, PTR, NXDOMAIN, SERVFAIL

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
std::string rule_notice(const std::string &reason, const std::string &rule) {
  return notice(reason, CORVANE_SITE "/best_practices/" + rule + ".html");
}

const std::string NO_RDNS_REASON =
    "This system will not accept messages from servers/devices with no "
    "reverse DNS. IP=[192.0.2.10]";
const std::string DYNAMIC_REASON =
    "Your IP address [192.0.2.10] appears not to be an email server.";
const std::string SPAM_LIST_REASON =
    "Your hostname matches a pattern which was abused in the past, and "
    "rejected by the system. IP=[192.0.2.10]";

class RdnsRules : public DnsSandboxTest {
protected:
  run_result judge(const env_list &env) {
    run_result r = succeeded(PLUGIN, {}, env);
    EXPECT_EQ(r.err, "");
    return r;
  }

  // Both pattern files, matching nothing a test uses unless it says so.
  void install_pattern_files() {
    write(DSL_FILE, "# dynamic pools\n\\.pool\\.invalid$\n");
    write(SPAM_FILE, "# spam sources\n\\.spam\\.invalid$\n");
  }

  // The engine's trace lines of the three rules, in order.
  static lines rule_trace(const run_result &r) {
    lines trace;
    for (const std::string &text : r.texts_at(LOG_DEBUG))
      if (text.find("reverse_dns") != std::string::npos &&
          starts_with(text, "Checking '"))
        trace.push_back(text);
    return trace;
  }

  static lines three_rules(const char *ip, const char *dynamic,
                           const char *list) {
    return {std::string("Checking 'check_ip_reverse_dns': ") + ip,
            std::string("Checking 'check_dynamic_reverse_dns': ") + dynamic,
            std::string("Checking 'check_reverse_dns_list': ") + list};
  }
};

// ---- check_ip_reverse_dns
// ------------------------------------------------------

TEST_F(RdnsRules, ClientWithoutAPtrRecordIsRejected) {
  install_pattern_files();
  TestDns &dns = serve({{PTR_NAME, NXDOMAIN}});
  run_result r = judge(command());
  EXPECT_EQ(r.out, rule_notice(NO_RDNS_REASON, "check_ip_reverse_dns"));
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
  EXPECT_EQ(r.out, rule_notice(SPAM_LIST_REASON, "check_reverse_dns_list"));
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
  EXPECT_EQ(r.out, rule_notice(DYNAMIC_REASON, "check_dynamic_reverse_dns"));
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
  EXPECT_EQ(r.out, rule_notice(DYNAMIC_REASON, "check_dynamic_reverse_dns"));
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
  EXPECT_EQ(r.out, rule_notice(DYNAMIC_REASON, "check_dynamic_reverse_dns"));
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
  EXPECT_EQ(r.out, rule_notice(SPAM_LIST_REASON, "check_reverse_dns_list"));
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

TEST(RdnsRules, NeedsTheTestDnsServer) { GTEST_SKIP() << e2e::NO_TEST_DNS; }

#endif
