// known_sender_forgery_funcs and the rule on it: the restriction file's
// parser over tables of lines and pieces, the decision, the sender's domain,
// and the rule's report.
#include "engine/rule_registry.h"
#include "ksf/known_sender_forgery_funcs.h"
#include "rules/rdns_rules.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

std::string shown(const ip_range *range) {
  if (!range)
    return "<null>";
  const in_addr address = {htonl(range->network)};
  return std::string(inet_ntoa(address)) + "/" + std::to_string(range->prefix);
}

// A parsed file as "domain a.b.c.d/n ..." per record.
strings records_of(ut_list_node *list) {
  strings out;
  for (const ut_list_node *node = list; node; node = node->next) {
    const auto *record = static_cast<const domain_ips *>(node->data);
    std::string line = record->domain;
    for (const ut_list_node *r = record->ranges; r; r = r->next)
      line += " " + shown(static_cast<const ip_range *>(r->data));
    out.push_back(line);
  }
  ksf_destroy_domain_ips_list(&list);
  return out;
}

TEST(Ksf, APieceIsABlockWithoutHostBitsOrOneAddress) {
  const struct {
    const char *piece, *range;
  } cases[] = {
      {"192.0.2.0/24", "192.0.2.0/24"},
      {"192.0.2.7", "192.0.2.7/32"},
      {"192.0.2.7/32", "192.0.2.7/32"},
      {"128.0.0.0/1", "128.0.0.0/1"},
      {"192.0.2.0/24abc", "192.0.2.0/24"}, // digits after the count ignored
      {"010.0.0.0/8", "8.0.0.0/8"},        // inet_network reads octal
      {"192.0.2.1/24", "<null>"},          // host bits set
      {"192.0.2.0/33", "<null>"},
      {"192.0.2.0/-1", "<null>"},
      {"192.0.2.0/x", "<null>"}, // no digits: 0, and host bits are set
      {"0.0.0.0/0", "<null>"},
      {"192.0.2.0/24/8", "<null>"},
      {"//192.0.2.0//24", "192.0.2.0/24"},
      {"255.255.255.255", "<null>"},
      {"192.0.2", "<null>"},
      {"bogus", "<null>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.piece);
    ip_range *range = __ksf_parse_ip_or_cidr(c.piece);
    EXPECT_EQ(shown(range), c.range);
    std::free(range);
  }
}

TEST(Ksf, TheFileKeepsEachGoodLineInOrderWithItsGoodPieces) {
  const struct {
    const char *name, *text;
    strings records;
  } cases[] = {
      {"one line",
       "example.org: 192.0.2.0/24, 198.51.100.7\n",
       {"example.org 192.0.2.0/24 198.51.100.7/32"}},
      {"blank, comment and padded lines",
       "\n  \t\n# example.net: 192.0.2.0/24\n  Example.NET:192.0.2.5 \r\n",
       {"example.net 192.0.2.5/32"}},
      {"empty fields and pieces",
       "::a.example::,192.0.2.0/24,,  ,\n",
       {"a.example 192.0.2.0/24"}},
      {"bad pieces skipped",
       "a.example: 192.0.2.0/24, bogus, 192.0.2.1/24",
       {"a.example 192.0.2.0/24"}},
      {"every piece bad",
       "a.example: 192.0.2.1/24, 0.0.0.0/0\nb.example: 1.2.3.4",
       {"b.example 1.2.3.4/32"}},
      {"wrong field counts",
       "a.example\na.example: 1.2.3.4: 5.6.7.8\n:1.2.3.4",
       {}},
      {"bad domains",
       "a_b.example: 1.2.3.4\n1.2.3.4: 1.2.3.4\nab: 1.2.3.4",
       {}},
      {"a later # is no comment", "a.example: 1.2.3.4 # ours", {}},
      {"same domain twice",
       "a.example: 1.2.3.4\na.example: 5.6.7.8",
       {"a.example 1.2.3.4/32", "a.example 5.6.7.8/32"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(records_of(__ksf_get_domain_ip_sets(c.text)), c.records);
  }
}

TEST(Ksf, OnlyAListedDomainsFirstLineRestrictsAndEveryErrorPasses) {
  ut::temp_dir dir;
  const std::string file =
      dir.write("valid_domain_ips", "example.org: 192.0.2.0/24, 198.51.100.7\n"
                                    "example.org: 203.0.113.0/24\n"
                                    "example.net: 0.0.0.0/0\n");
  const struct {
    const char *ip, *domain;
    int answer;
  } cases[] = {
      {"198.51.100.1", "Example.ORG ", 0},
      {"203.0.113.1", "example.org", 0},
      {"192.0.2.200", "example.org", 1},
      {"198.51.100.7", "example.org", 1},
      {"198.51.100.1", "mail.example.org", 1},
      {"198.51.100.1", "example.orgs", 1},
      {"198.51.100.1", "example.net", 1},
      {"198.51.100.1", " ", 1},
      {"255.255.255.255", "example.org", 1},
      {"nonsense", "example.org", 1},
      {"", "example.org", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.ip) + " " + c.domain);
    EXPECT_EQ(ksf_check_domain_to_ip_restriction(c.ip, c.domain, file.c_str()),
              c.answer);
  }
  for (const std::string &missing : {dir.file("none"), dir.path()})
    EXPECT_EQ(ksf_check_domain_to_ip_restriction("198.51.100.1", "example.org",
                                                 missing.c_str()),
              1);
  EXPECT_EQ(ksf_check_domain_to_ip_restriction("198.51.100.1", "example.org",
                                               dir.write("empty", "").c_str()),
            1);
}

TEST(Ksf, ABlockHoldsTheAddressesThatShareItsTopBits) {
  const struct {
    uint32_t ip, network;
    int32_t prefix;
    bool inside;
  } cases[] = {
      {0xC0000201, 0xC0000200, 24, true},  {0xC0000301, 0xC0000200, 24, false},
      {0xC0000201, 0xC0000201, 32, true},  {0xC0000202, 0xC0000201, 32, false},
      {0x7FFFFFFF, 0x80000000, 1, false},  {0x01020304, 0x00000000, 0, true},
      {0xFFFFFFFF, 0x00000000, 0, false},  {0x01020304, 0xFFFFFFFF, 0, false},
      {0x01020304, 0x01020304, 33, false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(__ksf_is_ip_in_cidr_block(c.ip, c.network, c.prefix), c.inside)
        << std::hex << c.ip << " in " << c.network << "/" << std::dec
        << c.prefix;
  // In a list, a range of negative prefix is passed over; one of 0 holds all.
  for (const int32_t prefix : {-1, 0}) {
    ip_range range = {0, prefix};
    ut_list_node node = {&range, sizeof range, nullptr};
    EXPECT_EQ(__ksf_is_ip_in_ranges("192.0.2.1", &node), prefix == 0);
  }
}

TEST(Ksf, TheSendersDomainComesFromAValidAddressLowerCased) {
  const struct {
    const char *address, *domain;
  } cases[] = {
      {"Alice@Mail.Example.ORG", "mail.example.org"},
      {"a@b@example.org", "<null>"},
      {"alice@example", "<null>"},
      {"alice@192.0.2.1", "<null>"},
      {"<alice@example.org>", "<null>"},
      {"", "<null>"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ut::taken(ksf_parse_mail_from_domain(c.address)), c.domain)
        << c.address;
  EXPECT_EQ(ut::taken(ksf_parse_mail_from_domain(nullptr)), "<null>");
}

TEST(Ksf, TheRuleReportsAForgeryAndOnlyRefusesItOutsideReportOnlyMode) {
  ut::temp_dir dir;
  const std::string file =
      dir.write("valid_domain_ips", "example.org: 192.0.2.0/24\n");
  const char *const saved = config.valid_domain_ips_filename;
  config.valid_domain_ips_filename = file.c_str();
  spp_state record = empty_state;
  record.remote_ip = const_cast<char *>("198.51.100.1");
  record.mail_from = const_cast<char *>("alice@Example.org");
  const struct {
    int ksf_debug, answer;
    strings reports;
  } cases[] = {
      {0, HIT, {"6 IP [198.51.100.1] may not send from domain [example.org]"}},
      {1,
       DUNNO,
       {"6 IP [198.51.100.1] may not send from domain [example.org] (DEBUG)"}},
      {2,
       DUNNO,
       {"6 IP [198.51.100.1] may not send from domain [example.org]"}},
  };
  for (const auto &c : cases) {
    const ut::library_reports reports;
    config.ksf_debug = c.ksf_debug;
    EXPECT_EQ(known_sender_forgery(nullptr, nullptr, record), c.answer);
    EXPECT_EQ(reports.lines(), c.reports) << c.ksf_debug;
  }
  config.ksf_debug = 0;
  record.remote_ip = const_cast<char *>("192.0.2.9");
  EXPECT_EQ(known_sender_forgery(nullptr, nullptr, record), DUNNO);
  config.valid_domain_ips_filename = saved;
}

TEST(Ksf, DroppedLinesAndPiecesAreTracedAndArgumentErrorsReported) {
  const ut::library_reports reports;
  setenv("VERBOSEDEBUG", "", 1);
  ut_list_node *list = __ksf_get_domain_ip_sets(
      "# c\na.example 1.2.3.4\nab: 1.2.3.4\nb.example: 1.2.3.4/8, 5.6.7.8\n");
  ksf_destroy_domain_ips_list(&list);
  EXPECT_EQ(ut_num_elements(list), 0);
  EXPECT_EQ(ksf_check_domain_to_ip_restriction("1.2.3.4", "  ", "/x"), 1);
  EXPECT_EQ(__ksf_is_ip_in_ranges(nullptr, nullptr), 1);
  const strings want = {
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_get_domain_ip_sets(): "
      "skipping comment line",
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_parse_domain_ips_line(): "
      "invalid number of elements in domain/ip range line: 1",
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_parse_domain_ips_line(): "
      "domain ab is not valid",
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_parse_cidr(): cidr is "
      "not valid given the prefix. addr: 33752064 prefix: 8",
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_parse_cidr(): invalid "
      "cidr format - number of elements not as expected: 1",
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_parse_ip_set(): stored "
      "IP range from [ 5.6.7.8]",
      "7 known_sender_forgery_funcs.cpp:# DEBUG __ksf_get_domain_ip_sets(): "
      "stored domain/IPs range from [b.example: 1.2.3.4/8, 5.6.7.8]",
      "3 known_sender_forgery_funcs.cpp:# ERROR "
      "ksf_check_domain_to_ip_restriction(): Invalid domain - blank after "
      "trimming whitespace",
      "3 known_sender_forgery_funcs.cpp:# ERROR __ksf_is_ip_in_ranges(): "
      "Invalid argument",
  };
  strings own; // the module's own reports, not those of the library below
  for (const std::string &line : reports.lines())
    if (line.find(" known_sender_forgery_funcs.cpp:") != line.npos)
      own.push_back(line);
  EXPECT_EQ(own, want);
}

} // namespace
