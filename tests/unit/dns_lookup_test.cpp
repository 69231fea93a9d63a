// DNS lookups: isIPAddress, lookupDomain and lookupReverseDNS. The resolver
// is replaced by a script through the dns_resolver table; syslog lines are
// read from the sandbox's /dev/log. The answers a DNS server can give on
// demand are checked end to end.
#include "lookup/dns_lookup.h"

#include "scripted_dns.h"
#include "syslog_capture.h"
#include "test_support.h"

namespace {

using namespace ut::dns_script;
using ut::at;
using strings = std::vector<std::string>;

TEST(IsIPAddress, ThreeDotsAndTheWholeTextTakenByInetAton) {
  // clang-format off
  const struct { const char *text; int expected; } cases[] = {
      {"192.0.2.1", 1}, {"0x7f.0.0.1", 1}, {"1.2.3.4.", 0}, {"1.2.3", 0},
      {"1.2.3.256", 0}, {"", 0}, {"192.0.2.1 ", 0}, {"192.0.2.1\tx", 0},
      {" 192.0.2.1", 0},
  };
  // clang-format on
  for (const auto &c : cases)
    EXPECT_EQ(isIPAddress(c.text), c.expected) << "'" << c.text << "'";
  EXPECT_EQ(isIPAddress(nullptr), -1);
}

// The resolver is the script and TCPREMOTEHOST is out of the way.
class DnsLookup : public ut::syslog_test {
protected:
  void SetUp() override {
    unsetenv("TCPREMOTEHOST");
    CAPTURE_SYSLOG_OR_SKIP();
  }
  scripted_resolver resolver_;
};

TEST_F(DnsLookup, DomainIsMissingWithoutAnAOrMxAnswer) {
  query_results = {0}; // an empty answer is an answer
  EXPECT_EQ(lookupDomain("a.example"), 0);
  EXPECT_EQ(lookupDomain("%s%n.x"), 1);
  EXPECT_EQ(queries_made, (strings{"a.example A", "%s%n.x A", "%s%n.x MX"}));
  EXPECT_EQ(logged(),
            (strings{at(6, "Looking up domain a.example (this may take a "
                           "while)"),
                     at(6, "Looking up domain %s%n.x (this may take a "
                           "while)")}));
}

TEST_F(DnsLookup, ReverseLookupRetriesOnlyTemporaryFailures) {
  const reverse_answer AGAIN = {0, TRY_AGAIN}, NONE = {0, HOST_NOT_FOUND},
                       NAME = {"h.example", 0};
  const char *IP = "192.0.2.10";
  // clang-format off
  const struct { const char *name, *remote_host, *ip;
                 std::deque<reverse_answer> script; int expected;
                 const char *out; // null: untouched
                 const char *log; } cases[] = {
      {"three tries", 0, IP, {AGAIN, AGAIN, AGAIN, NAME}, 2, 0,
       "3 gethostbyaddr() retried 3 times"},
      {"two tries, then a name", 0, IP, {AGAIN, AGAIN, NAME}, 0, "h.example",
       "7 lookupReverseDNS(): resolved to [h.example]"},
      {"a try, then no name", 0, IP, {AGAIN, NONE}, 1, "",
       "7 Hostname for IP 192.0.2.10 could not be found"},
      {"no recovery", 0, IP, {{0, NO_RECOVERY}}, 2, 0,
       "3 A non-recoverable DNS server error occured"},
      {"no data", 0, IP, {{0, NO_DATA}}, 2, 0, "3 Unable to lookup reverse-DNS"},
      {"front end's empty name", "", IP, {}, 1, "", 0},
      {"front end's name", "m.example", "1.2.3", {}, 0, "m.example", 0},
      {"invalid address", 0, "1.2.3", {}, 666, 0,
       "7 lookupReverseDNS(): Invalid IP address detected"},
  };
  // clang-format on
  strings log;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reverse_lookups.clear();
    reverse_script = c.script;
    unsetenv("TCPREMOTEHOST");
    if (c.remote_host)
      setenv("TCPREMOTEHOST", c.remote_host, 1);
    char marker[] = "untouched";
    char *out = marker;
    EXPECT_EQ(lookupReverseDNS(&out, c.ip), c.expected);
    EXPECT_EQ(out == marker ? "<untouched>" : ut::taken(out),
              c.out ? c.out : "<untouched>");
    const size_t asked = c.script.size() - reverse_script.size();
    EXPECT_EQ(reverse_lookups, strings(asked, IP));
    if (c.log)
      log.push_back(c.log);
  }
  EXPECT_EQ(logged(), log);
}

} // namespace
