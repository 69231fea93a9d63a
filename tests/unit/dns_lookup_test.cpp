// DNS lookups: forward (lookupDomain), reverse (lookupReverseDNS and
// __runRDNSQuery), __getenv and isIPAddress. The resolver is replaced by a
// script through the dns_resolver table; syslog lines are read from the
// sandbox's /dev/log.
#include "lookup/dns_lookup.h"

#include "scripted_dns.h"
#include "syslog_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <netdb.h>
#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

namespace {

using ut::c_text;

using namespace ut::dns_script;
using ut::at;

// Swaps the resolver for the script and TCPREMOTEHOST out of the way; the
// sandbox (when it can be had) captures syslog.
class DnsLookup : public ut::syslog_test {
private:
  scripted_resolver resolver_;
  ut::unset_env no_remote_host_{"TCPREMOTEHOST"};
};

// ---- isIPAddress ----------------------------------------------------------

struct address_case {
  const char *text;
  int expected;
};

TEST(IsIPAddressForms, ThreeDotsAndInetAtonDecide) {
  const address_case cases[] = {
      {"192.0.2.1", 1},
      {"010.1.1.1", 1},
      {"0x7f.0.0.1", 1},
      {"0377.0.0.1", 1},
      {"0.0.0.0", 1},
      {"255.255.255.255", 1},
      {"1.2.3.4.", 0},
      {"1.2.3", 0},
      {"4294967295", 0},
      {"1..2.3", 0},
      {"1.2.3.4/24", 0},
      {"[1.2.3.4]", 0},
      {"1.2.3.0x100", 0},
      {"example.com", 0},
      {"a.b.c.d", 0},
      {"", 0},
      // inet_aton itself would stop at the blank and take these.
      {"192.0.2.1 ", 0},
      {"192.0.2.1 x", 0},
      {"192.0.2.1\tx", 0},
      {"192.0.2.1\n", 0},
      {" 192.0.2.1", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(isIPAddress(c.text), c.expected) << "'" << c.text << "'";
  EXPECT_EQ(isIPAddress(nullptr), -1);
}

// ---- lookupDomain
// ------------------------------------------------------------

TEST_F(DnsLookup, DomainWithAnARecordTakesOneQuery) {
  query_results = {42};
  EXPECT_EQ(lookupDomain("mail.example"), 0);
  ASSERT_EQ(queries_made.size(), 1u);
  EXPECT_EQ(queries_made[0].name, "mail.example");
  EXPECT_EQ(queries_made[0].query_class, 1);
  EXPECT_EQ(queries_made[0].type, 1);
  EXPECT_EQ(queries_made[0].answer_length, 1024);
}

TEST_F(DnsLookup, DomainWithOnlyAnMxRecordTakesTwoQueries) {
  query_results = {-1, 60};
  EXPECT_EQ(lookupDomain("mx-only.example"), 0);
  ASSERT_EQ(queries_made.size(), 2u);
  EXPECT_EQ(queries_made[0].type, 1);
  EXPECT_EQ(queries_made[1].type, 15);
  EXPECT_EQ(queries_made[1].query_class, 1);
  EXPECT_EQ(queries_made[1].name, "mx-only.example");
}

TEST_F(DnsLookup, AnyResultButMinusOneCountsAsAnAnswer) {
  query_results = {0};
  EXPECT_EQ(lookupDomain("empty-answer.example"), 0);
  EXPECT_EQ(queries_made.size(), 1u);
}

TEST_F(DnsLookup, DomainWithNeitherRecordIsMissing) {
  CAPTURE_SYSLOG_OR_SKIP();
  query_results = {-1, -1};
  EXPECT_EQ(lookupDomain("nowhere.example"), 1);
  EXPECT_EQ(queries_made.size(), 2u);
  EXPECT_EQ(logged(),
            std::vector<std::string>{
                at(LOG_INFO, "Looking up domain nowhere.example (this may take "
                             "a while)")});
}

TEST_F(DnsLookup, AddressOrMissingDomainMakesNoQuery) {
  CAPTURE_SYSLOG_OR_SKIP();
  EXPECT_EQ(lookupDomain("192.0.2.1"), 0);
  EXPECT_EQ(lookupDomain(nullptr), 0);
  EXPECT_TRUE(queries_made.empty());
  const std::string line =
      at(LOG_INFO, "Did not attempt to resolve IP address");
  EXPECT_EQ(logged(), (std::vector<std::string>{line, line}));
}

TEST_F(DnsLookup, PercentSignsInTheDomainAreData) {
  CAPTURE_SYSLOG_OR_SKIP();
  EXPECT_EQ(lookupDomain("%s%n.example"), 1);
  EXPECT_EQ(logged(), std::vector<std::string>{at(
                          LOG_INFO, "Looking up domain %s%n.example (this may "
                                    "take a while)")});
}

// ---- __getenv
// ------------------------------------------------------------------

TEST_F(DnsLookup, GetenvCopiesAValue) {
  setenv("TCPREMOTEHOST", "host.example", 1);
  char *out = nullptr;
  ASSERT_EQ(__getenv("TCPREMOTEHOST", &out), 0);
  c_text owned(out);
  EXPECT_STREQ(out, "host.example");
  EXPECT_NE(out, std::getenv("TCPREMOTEHOST"));
}

TEST_F(DnsLookup, GetenvCountsAnEmptyValueAsSet) {
  setenv("TCPREMOTEHOST", "", 1);
  char *out = nullptr;
  ASSERT_EQ(__getenv("TCPREMOTEHOST", &out), 0);
  c_text owned(out);
  EXPECT_STREQ(out, "");
}

TEST_F(DnsLookup, GetenvLeavesOutAloneWhenUnset) {
  char marker[] = "untouched";
  char *out = marker;
  EXPECT_EQ(__getenv("TCPREMOTEHOST", &out), 1);
  EXPECT_EQ(out, marker);
}

TEST_F(DnsLookup, GetenvRefusesMissingArguments) {
  CAPTURE_SYSLOG_OR_SKIP();
  char *out = nullptr;
  EXPECT_EQ(__getenv(nullptr, &out), -1);
  EXPECT_EQ(__getenv("TCPREMOTEHOST", nullptr), -1);
  const std::string line =
      at(LOG_DEBUG, "__getenv(): attempt to call with invalid arguments");
  EXPECT_EQ(logged(), (std::vector<std::string>{line, line}));
}

// ---- lookupReverseDNS: the front end's name
// ----------------------------------

TEST_F(DnsLookup, EmptyRemoteHostMeansNoNameWithoutAQuery) {
  setenv("TCPREMOTEHOST", "", 1);
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 1);
  c_text owned(out);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(reverse_lookups.empty());
}

TEST_F(DnsLookup, RemoteHostIsTakenEvenForAnInvalidAddress) {
  setenv("TCPREMOTEHOST", "mail.example.net", 1);
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(&out, "1.2.3"), 0);
  c_text owned(out);
  EXPECT_STREQ(out, "mail.example.net");
  EXPECT_TRUE(reverse_lookups.empty());
}

TEST_F(DnsLookup, InvalidAddressWithoutRemoteHostMakesNoQuery) {
  CAPTURE_SYSLOG_OR_SKIP();
  char marker[] = "untouched";
  char *out = marker;
  EXPECT_EQ(lookupReverseDNS(&out, "1.2.3"), 666);
  EXPECT_EQ(out, marker);
  EXPECT_TRUE(reverse_lookups.empty());
  EXPECT_EQ(logged(),
            std::vector<std::string>{at(
                LOG_DEBUG, "lookupReverseDNS(): Invalid IP address detected")});
}

TEST_F(DnsLookup, MissingArgumentsGive666) {
  CAPTURE_SYSLOG_OR_SKIP();
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(nullptr, "192.0.2.10"), 666);
  EXPECT_EQ(lookupReverseDNS(&out, nullptr), 666);
  EXPECT_EQ(out, nullptr);
  const std::string line =
      at(LOG_DEBUG, "lookupReverseDns(): NULL arguments detected");
  EXPECT_EQ(logged(), (std::vector<std::string>{line, line}));
}

// ---- lookupReverseDNS: the reverse query
// ---------------------------------------

TEST_F(DnsLookup, ResolvedNameIsCopied) {
  CAPTURE_SYSLOG_OR_SKIP();
  reverse_script = {{"host.example", 0}};
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 0);
  c_text owned(out);
  EXPECT_STREQ(out, "host.example");
  EXPECT_NE(out, scripted_name.data());
  EXPECT_EQ(reverse_lookups, std::vector<std::string>{"192.0.2.10"});
  EXPECT_EQ(logged(),
            std::vector<std::string>{at(
                LOG_DEBUG, "lookupReverseDNS(): resolved to [host.example]")});
}

TEST_F(DnsLookup, HostNotFoundGivesAnEmptyName) {
  CAPTURE_SYSLOG_OR_SKIP();
  reverse_script = {{nullptr, HOST_NOT_FOUND}};
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 1);
  c_text owned(out);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(logged(),
            std::vector<std::string>{at(
                LOG_DEBUG, "Hostname for IP 192.0.2.10 could not be found")});
}

TEST_F(DnsLookup, ThreeTemporaryFailuresGiveUp) {
  CAPTURE_SYSLOG_OR_SKIP();
  reverse_script = {{nullptr, TRY_AGAIN},
                    {nullptr, TRY_AGAIN},
                    {nullptr, TRY_AGAIN},
                    {"never.example", 0}};
  char marker[] = "untouched";
  char *out = marker;
  EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 2);
  EXPECT_EQ(out, marker);
  EXPECT_EQ(reverse_lookups.size(), 3u);
  EXPECT_EQ(logged(), std::vector<std::string>{
                          at(LOG_ERR, "gethostbyaddr() retried 3 times")});
}

TEST_F(DnsLookup, TwoTemporaryFailuresThenAnAnswer) {
  reverse_script = {
      {nullptr, TRY_AGAIN}, {nullptr, TRY_AGAIN}, {"host.example", 0}};
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 0);
  c_text owned(out);
  EXPECT_STREQ(out, "host.example");
  EXPECT_EQ(reverse_lookups.size(), 3u);
}

TEST_F(DnsLookup, TemporaryFailureThenNotFound) {
  reverse_script = {{nullptr, TRY_AGAIN}, {nullptr, HOST_NOT_FOUND}};
  char *out = nullptr;
  EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 1);
  c_text owned(out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(reverse_lookups.size(), 2u);
}

TEST_F(DnsLookup, OtherResolverErrorsAreLookupErrors) {
  CAPTURE_SYSLOG_OR_SKIP();
  const struct {
    int error;
    const char *message;
  } cases[] = {
      {NO_RECOVERY, "A non-recoverable DNS server error occured"},
      {NO_DATA, "Unable to lookup reverse-DNS"},
      {0, "Unable to lookup reverse-DNS"},
  };
  for (const auto &c : cases) {
    reverse_script = {{nullptr, c.error}};
    reverse_lookups.clear();
    char *out = nullptr;
    EXPECT_EQ(lookupReverseDNS(&out, "192.0.2.10"), 2) << c.error;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(reverse_lookups.size(), 1u);
    EXPECT_EQ(logged(), std::vector<std::string>{at(LOG_ERR, c.message)});
  }
}

// Runs __runRDNSQuery on `ip` with an answer waiting; the addresses the
// resolver was asked for.
std::vector<std::string> addresses_asked(const char *ip) {
  reverse_script = {{"h.example", 0}};
  char *out = nullptr;
  EXPECT_EQ(__runRDNSQuery(&out, ip), 0);
  c_text owned(out);
  return reverse_lookups;
}

TEST_F(DnsLookup, QueryAsksForTheAddressGiven) {
  EXPECT_EQ(addresses_asked("10.20.30.40"),
            std::vector<std::string>{"10.20.30.40"});
}

TEST_F(DnsLookup, QueryTakesWhatInetAtonTakes) {
  EXPECT_EQ(addresses_asked("10.1"), std::vector<std::string>{"10.0.0.1"});
}

TEST_F(DnsLookup, QueryRefusesAnInvalidAddress) {
  CAPTURE_SYSLOG_OR_SKIP();
  char *out = nullptr;
  EXPECT_EQ(__runRDNSQuery(&out, "10.1.2.300"), 666);
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(reverse_lookups.empty());
  EXPECT_EQ(logged(),
            std::vector<std::string>{
                at(LOG_WARNING, "lookupReverseDNS(): invalid IP address")});
}

TEST_F(DnsLookup, QueryRefusesMissingArguments) {
  CAPTURE_SYSLOG_OR_SKIP();
  char *out = nullptr;
  EXPECT_EQ(__runRDNSQuery(nullptr, "192.0.2.10"), 2);
  EXPECT_EQ(__runRDNSQuery(&out, nullptr), 2);
  const std::string line =
      at(LOG_DEBUG, "__runRDNSQuery(): attempt to run with invalid arguments");
  EXPECT_EQ(logged(), (std::vector<std::string>{line, line}));
}

TEST(DnsResolverTable, StartsWithTheSystemResolver) {
  EXPECT_NE(dns_resolver.query, nullptr);
  EXPECT_EQ(dns_resolver.host_by_addr, &gethostbyaddr);
  EXPECT_NE(dns_resolver.last_error, nullptr);
}

} // namespace
