// End-to-end tests of the rules that ask the DNS or the IP-reputation maps:
// the real corvane-spp binary (and dns_probe, which runs the reverse lookup
// with the plug-in's link) inside a sandbox whose resolver asks only the
// test DNS server on 127.0.0.1, answering from each case's table.

#include "e2e_support.h"

#ifdef CORVANE_DNS_PROBE_PATH

#include "lookup/ipr_map_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>
#include <vector>

namespace {

using namespace e2e;
using test_dns::TestDns;
using namespace test_dns; // the answer types A, MX, PTR, NXDOMAIN, SERVFAIL

// An SMTP command that passes the default rules; TCPREMOTEHOST spares the
// reverse lookup.
env_list command(const std::string &helo = "mail.example.net",
                 const std::string &from = "alice@example.net") {
  return {"TCPREMOTEIP=192.0.2.10", "TCPREMOTEHOST=mail.example.net",
          "SMTPHELOHOST=" + helo, "SMTPMAILFROM=" + from,
          "SMTPRCPTTO=bob@example.org"};
}

std::string summary_for(const std::string &status, const std::string &helo,
                        const std::string &from) {
  return status + ": mua=0,ip=[192.0.2.10:mail.example.net],helo=<" + helo +
         ">,from=<" + from + ">,rcpt=<bob@example.org>";
}

class DnsRules : public DnsSandboxTest {
protected:
  run_result run(const std::string &program, const env_list &env,
                 const args_list &args = {}) {
    return succeeded(program, args, env);
  }

  run_result judge(const env_list &env) { return run(PLUGIN, env); }

  // Builds /var/cache/ipr/<name> from a list of networks.
  void build_map(const std::string &name, const std::string &networks) {
    const std::string input = "/var/cache/ipr/sources/" + name + ".txt";
    write(input, networks);
    const std::string output = "/var/cache/ipr/" + name;
    char error[256];
    ASSERT_EQ(ipr_build_map(input.c_str(), output.c_str(), error, sizeof error),
              0)
        << error;
  }
};

// ---- resolve_helo_domain ----------------------------------------------------

TEST_F(DnsRules, HeloWithOnlyAnMxRecordPasses) {
  write("/etc/corvane/control/rules.enabled", "resolve_helo_domain\n");
  TestDns &dns = serve({{"mx-only.example", MX, "mail.example"}});
  run_result r = judge(command("mx-only.example"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(summary_of(r),
            summary_for("HAM", "mx-only.example", "alice@example.net"));
  EXPECT_EQ(dns.queries(), (lines{"mx-only.example A", "mx-only.example MX"}));
  EXPECT_TRUE(r.logged_at(
      LOG_INFO, "Looking up domain mx-only.example (this may take a while)"));
}

TEST_F(DnsRules, HeloWithAnARecordTakesOneQuery) {
  write("/etc/corvane/control/rules.enabled", "resolve_helo_domain\n");
  TestDns &dns = serve({{"a-only.example", A, "192.0.2.80"}});
  run_result r = judge(command("a-only.example"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dns.queries(), lines{"a-only.example A"});
}

TEST_F(DnsRules, HeloWithNeitherRecordIsRejected) {
  write("/etc/corvane/control/rules.enabled", "resolve_helo_domain\n");
  TestDns &dns = serve({{"nowhere.example", NXDOMAIN}});
  run_result r = judge(command("nowhere.example"));
  EXPECT_EQ(r.out,
            notice("Messages from your location are rejected, "
                   "identification (HELO) has no matching DNS entry.",
                   CORVANE_SITE "/best_practices/resolve_helo_domain.html"));
  EXPECT_EQ(summary_of(r), summary_for("SPAM[resolve_helo_domain]",
                                       "nowhere.example", "alice@example.net"));
  EXPECT_EQ(dns.queries(), (lines{"nowhere.example A", "nowhere.example MX"}));
}

TEST_F(DnsRules, HeloWhoseServerFailsCountsAsMissing) {
  write("/etc/corvane/control/rules.enabled", "resolve_helo_domain\n");
  TestDns &dns = serve({{"broken.example", SERVFAIL}});
  run_result r = judge(command("broken.example"));
  EXPECT_EQ(summary_of(r), summary_for("SPAM[resolve_helo_domain]",
                                       "broken.example", "alice@example.net"));
  EXPECT_EQ(dns.queries(), (lines{"broken.example A", "broken.example MX"}));
}

TEST_F(DnsRules, HeloAddressIsNotLookedUp) {
  write("/etc/corvane/control/rules.enabled", "resolve_helo_domain\n");
  write("/etc/corvane/control/rules.disabled", "valid_helo_domain\n");
  TestDns &dns = serve({});
  run_result r = judge(command("192.0.2.1"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(summary_of(r),
            summary_for("HAM", "192.0.2.1", "alice@example.net"));
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(DnsRules, HeloIsNotLookedUpWhileTheRuleIsOff) {
  TestDns &dns = serve({});
  run_result r = judge(command("nowhere.example"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dns.queries(), lines{});
}

// ---- valid_from_domain
// --------------------------------------------------------

TEST_F(DnsRules, SenderDomainWithOnlyAnMxRecordPasses) {
  write("/etc/corvane/control/rules.enabled", "valid_from_domain\n");
  TestDns &dns = serve({{"mx-only.example", MX, "10 mail.example"}});
  run_result r = judge(command("mail.example.net", "alice@mx-only.example"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(summary_of(r),
            summary_for("HAM", "mail.example.net", "alice@mx-only.example"));
  EXPECT_EQ(dns.queries(), (lines{"mx-only.example A", "mx-only.example MX"}));
}

TEST_F(DnsRules, SenderDomainWithNeitherRecordIsRejected) {
  write("/etc/corvane/control/rules.enabled", "valid_from_domain\n");
  TestDns &dns = serve({{"mx-only.example", MX, "mail.example"}});
  run_result r = judge(command("mail.example.net", "alice@nowhere.example"));
  EXPECT_EQ(r.out,
            notice("This system will not accept this message, based "
                   "on the MAIL FROM address provided",
                   CORVANE_SITE "/best_practices/valid_from_domain.html"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[valid_from_domain]", "mail.example.net",
                        "alice@nowhere.example"));
  EXPECT_EQ(dns.queries(), (lines{"nowhere.example A", "nowhere.example MX"}));
}

TEST_F(DnsRules, SenderAddressDomainIsNotLookedUp) {
  write("/etc/corvane/control/rules.enabled", "valid_from_domain\n");
  write("/etc/corvane/control/rules.disabled", "block_ip_in_addr\n");
  TestDns &dns = serve({});
  run_result r = judge(command("mail.example.net", "alice@192.0.2.1"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(DnsRules, BounceSkipsTheSenderDomainCheck) {
  write("/etc/corvane/control/rules.enabled", "valid_from_domain\n");
  write("/etc/corvane/control/debug", "true\n");
  TestDns &dns = serve({});
  run_result r = judge(command("mail.example.net", ""));
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.logged_at(LOG_DEBUG, "Skipping rule 'valid_from_domain' "
                                     "because message appears to be NDR"));
  EXPECT_EQ(summary_of(r), summary_for("HAM", "mail.example.net", ""));
  EXPECT_EQ(dns.queries(), lines{});
}

// ---- block_lists
// -----------------------------------------------------------------

TEST_F(DnsRules, ClientOnTwoEnabledListsIsRejectedNamingBoth) {
  build_map("listA", "# a whole /24\n192.0.2.0/24\n");
  build_map("listB", "198.51.100.0/24\n192.0.2.10\n");
  build_map("listC", "198.51.100.0/24\n");
  write("/etc/corvane/control/ipr.enabled", "listC\nlistB\nlistA\n");
  write("/etc/corvane/control/debug", "true\n");
  run_result r = judge(command());
  EXPECT_EQ(r.out, notice("This system uses IPR to check your IP address "
                          "reputation, and was rejected by the system. "
                          "IP=[192.0.2.10]",
                          CORVANE_SITE "/power_of_ip_reputation.html"));
  EXPECT_EQ(summary_of(r),
            summary_for("SPAM[block_lists:listA,listB]", "mail.example.net",
                        "alice@example.net"));
  for (const char *list : {"listA", "listB", "listC"})
    EXPECT_TRUE(r.logged_at(LOG_DEBUG, std::string("checkList(): IPR lookup "
                                                   "[/var/cache/ipr/") +
                                           list + "]"))
        << list;
}

TEST_F(DnsRules, ClientOnNoEnabledListPasses) {
  build_map("listA", "198.51.100.0/24\n");
  build_map("listB", "192.0.2.0/24\n"); // not enabled
  write("/etc/corvane/control/ipr.enabled", "listA\n");
  run_result r = judge(command());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(summary_of(r),
            summary_for("HAM", "mail.example.net", "alice@example.net"));
}

TEST_F(DnsRules, CorruptMapIsLoggedAndPasses) {
  std::string corrupt(1024, '\0');
  corrupt.replace(4 * 192, 4, "\x00\x20\x00\x00", 4); // offset 8192 > 0
  write("/var/cache/ipr/listA", corrupt);
  write("/etc/corvane/control/ipr.enabled", "listA\n");
  run_result r = judge(command());
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.logged_at(LOG_ERR, "lookupMap(): corrupt IPR file"));
  EXPECT_EQ(summary_of(r),
            summary_for("HAM", "mail.example.net", "alice@example.net"));
}

TEST_F(DnsRules, MissingMapsFailOpenQuietly) {
  write("/etc/corvane/control/ipr.enabled", "listA\nlistB\n");
  run_result r = judge(command());
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.texts_at(LOG_ERR).empty());
  EXPECT_TRUE(r.texts_at(LOG_WARNING).empty());
  EXPECT_EQ(summary_of(r),
            summary_for("HAM", "mail.example.net", "alice@example.net"));
}

TEST_F(DnsRules, MuaIsNotCheckedAgainstTheLists) {
  build_map("listA", "192.0.2.0/24\n");
  write("/etc/corvane/control/ipr.enabled", "listA\n");
  env_list env = command();
  env.push_back("SMTPAUTHUSER=alice");
  run_result r = judge(env);
  EXPECT_EQ(r.out, "");
}

// ---- lookupReverseDNS, through dns_probe
// ----------------------------------------

const std::vector<test_dns::record> REVERSE_TABLE = {
    {"10.2.0.192.in-addr.arpa", PTR, "host.example"},
    {"11.2.0.192.in-addr.arpa", NXDOMAIN},
    {"12.2.0.192.in-addr.arpa", SERVFAIL},
};

TEST_F(DnsRules, ReverseNameComesFromThePtrRecord) {
  TestDns &dns = serve(REVERSE_TABLE);
  run_result r = run(PROBE, {}, {"reverse", "192.0.2.10"});
  EXPECT_EQ(r.out, "0 [host.example]\n");
  EXPECT_EQ(dns.queries(), lines{"10.2.0.192.in-addr.arpa PTR"});
  EXPECT_TRUE(
      r.logged_at(LOG_DEBUG, "lookupReverseDNS(): resolved to [host.example]"));
}

TEST_F(DnsRules, ReverseNameMissingGivesAnEmptyName) {
  TestDns &dns = serve(REVERSE_TABLE);
  run_result r = run(PROBE, {}, {"reverse", "192.0.2.11"});
  EXPECT_EQ(r.out, "1 []\n");
  EXPECT_EQ(dns.queries(), lines{"11.2.0.192.in-addr.arpa PTR"});
  EXPECT_TRUE(
      r.logged_at(LOG_DEBUG, "Hostname for IP 192.0.2.11 could not be found"));
}

TEST_F(DnsRules, ReverseServerFailureIsTriedThreeTimes) {
  TestDns &dns = serve(REVERSE_TABLE);
  run_result r = run(PROBE, {}, {"reverse", "192.0.2.12"});
  EXPECT_EQ(r.out, "2 (untouched)\n");
  EXPECT_EQ(dns.queries(), lines(3, "12.2.0.192.in-addr.arpa PTR"));
  EXPECT_EQ(r.texts_at(LOG_ERR), lines{"gethostbyaddr() retried 3 times"});
}

TEST_F(DnsRules, RemoteHostSparesTheQuery) {
  TestDns &dns = serve(REVERSE_TABLE);
  run_result r =
      run(PROBE, {"TCPREMOTEHOST=front.example"}, {"reverse", "192.0.2.10"});
  EXPECT_EQ(r.out, "0 [front.example]\n");
  r = run(PROBE, {"TCPREMOTEHOST=front.example"}, {"reverse", "1.2.3"});
  EXPECT_EQ(r.out, "0 [front.example]\n");
  r = run(PROBE, {"TCPREMOTEHOST="}, {"reverse", "192.0.2.10"});
  EXPECT_EQ(r.out, "1 []\n");
  EXPECT_EQ(dns.queries(), lines{});
}

TEST_F(DnsRules, InvalidAddressIsNotLookedUp) {
  TestDns &dns = serve(REVERSE_TABLE);
  run_result r = run(PROBE, {}, {"reverse", "1.2.3"});
  EXPECT_EQ(r.out, "666 (untouched)\n");
  EXPECT_EQ(dns.queries(), lines{});
  EXPECT_TRUE(r.logged_at(LOG_DEBUG,
                          "lookupReverseDNS(): Invalid IP address detected"));
}

TEST_F(DnsRules, DomainLookupAsksForAThenMx) {
  TestDns &dns = serve({{"mx-only.example", MX, "mail.example"},
                        {"a-only.example", A, "192.0.2.80"}});
  EXPECT_EQ(run(PROBE, {}, {"domain", "mx-only.example"}).out, "0\n");
  EXPECT_EQ(dns.queries(), (lines{"mx-only.example A", "mx-only.example MX"}));
  EXPECT_EQ(run(PROBE, {}, {"domain", "a-only.example"}).out, "0\n");
  EXPECT_EQ(dns.queries(), lines{"a-only.example A"});
  EXPECT_EQ(run(PROBE, {}, {"domain", "nowhere.example"}).out, "1\n");
  EXPECT_EQ(dns.queries(), (lines{"nowhere.example A", "nowhere.example MX"}));
  run_result r = run(PROBE, {}, {"domain", "192.0.2.1"});
  EXPECT_EQ(r.out, "0\n");
  EXPECT_EQ(dns.queries(), lines{});
  EXPECT_TRUE(r.logged_at(LOG_INFO, "Did not attempt to resolve IP address"));
}

TEST_F(DnsRules, DomainLookupWithoutAServerCountsAsMissing) {
  // Nothing listens on 127.0.0.1:53: the loopback refuses both queries.
  run_result r = run(PROBE, {}, {"domain", "mail.example"});
  EXPECT_EQ(r.out, "1\n");
}

} // namespace

#else

TEST(DnsRules, NeedsTheTestDnsServer) { GTEST_SKIP() << e2e::NO_TEST_DNS; }

#endif
