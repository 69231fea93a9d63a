// ut_dns over the scripted resolver: address conversion, the reverse lookup
// and its retries, and the A-then-MX test.
#include "util/ut_dns.h"

#include "scripted_dns.h"
#include "ut_reports.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

namespace dns = ut::dns_script;
using strings = std::vector<std::string>;

TEST(UtDns, InetAddrKeepsNetworkOrderAndRefusesTheAllOnesAddress) {
  const uint32_t value = static_cast<uint32_t>(ut_inet_addr("1.2.3.4"));
  EXPECT_EQ(std::memcmp(&value, "\x01\x02\x03\x04", 4), 0);
  for (const char *refused : {"255.255.255.255", "0.0.0.0", "1.2.3.x", ""})
    EXPECT_EQ(ut_inet_addr(refused), 0u) << refused;
}

TEST(UtDns, ReverseLookupRetriesOnlyWhileTheResolverSaysTryAgain) {
  const dns::reverse_answer again = {nullptr, TRY_AGAIN}, empty = {"", 0};
  const struct {
    const char *name;
    std::vector<dns::reverse_answer> script;
    int result;
    const char *found; // the name afterwards
    size_t lookups;
    const char *ip = "192.0.2.1";
  } cases[] = {
      {"found", {{"host.example", 0}}, 0, "host.example", 1},
      {"no such name", {{nullptr, HOST_NOT_FOUND}}, -1, "old", 1},
      {"no recovery", {{nullptr, NO_RECOVERY}}, 2, "old", 1},
      {"found third",
       {again, again, {"late.example", 0}},
       0,
       "late.example",
       3},
      {"three tries", {again, again, again, {"never.example", 0}}, 2, "old", 3},
      {"empty names", {empty, empty, empty}, 2, "old", 3},
      {"host name", {}, -2, "old", 0, "host.example"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    dns::scripted_resolver resolver;
    dns::reverse_script.assign(c.script.begin(), c.script.end());
    char *name = strdup("old");
    EXPECT_EQ(ut_lookup_reverse_dns(&name, c.ip), c.result);
    EXPECT_STREQ(name, c.found);
    EXPECT_EQ(dns::reverse_lookups.size(), c.lookups);
    std::free(name);
  }
  ut::library_reports reports;
  dns::scripted_resolver resolver;
  char *name = nullptr;
  EXPECT_EQ(ut_lookup_reverse_dns(&name, "192.0.2.7"), 2);
  EXPECT_EQ(dns::reverse_lookups, (strings{"192.0.2.7"}));
  EXPECT_EQ(reports.lines(), (strings{"3 ut_dns.cpp:# ERROR "
                                      "ut_lookup_reverse_dns(): [192.0.2.7] "
                                      "Unknown server error"}));
}

TEST(UtDns, HasAOrMxAsksForAThenMx) {
  const struct {
    const char *domain;
    std::vector<int> results; // res_query's returns, in order
    int expected;
    strings queries;
  } cases[] = {
      {"mail.example", {40}, 1, {"mail.example A"}},
      {"mx.example", {-1, 55}, 1, {"mx.example A", "mx.example MX"}},
      {"no.example", {-1, -1}, 0, {"no.example A", "no.example MX"}},
      {"nodot", {}, 0, {}},
      {"192.0.2.1", {}, 0, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.domain);
    dns::scripted_resolver resolver;
    dns::query_results.assign(c.results.begin(), c.results.end());
    EXPECT_EQ(ut_has_a_or_mx(c.domain), c.expected);
    EXPECT_EQ(dns::queries_made, c.queries);
  }
  dns::scripted_resolver resolver;
  EXPECT_EQ(ut_resolv("bad_domain.example", 1), -2);
  EXPECT_EQ(ut_resolv("a.example", 16), 1);
  EXPECT_EQ(dns::queries_made, std::vector<std::string>{"a.example MX"});
}

} // namespace
