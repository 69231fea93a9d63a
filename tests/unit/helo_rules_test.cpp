// HELO rules: require_helo, valid_helo_domain (every step of its test, as a
// table) and resolve_helo_domain (with a scripted resolver).
#include "rules/helo_rules.h"

#include "scripted_dns.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>
#include <vector>

namespace {

using namespace ut::dns_script;
using ut::captured;

class HeloRules : public ::testing::Test {
protected:
  void SetUp() override { ut::log_lines.clear(); }

  static spp_state with_helo(const char *helo,
                             log_func logger = ut::capture_log) {
    spp_state record = empty_state;
    record.helo = const_cast<char *>(helo);
    record.logger = logger;
    return record;
  }

  scripted_resolver resolver_;
};

// ---- require_helo
// ------------------------------------------------------------

TEST_F(HeloRules, RequireHeloHitsOnlyAMissingName) {
  EXPECT_EQ(require_helo(nullptr, nullptr, with_helo(nullptr)), HIT);
  EXPECT_EQ(captured(),
            std::vector<std::string>{"7 require_helo: HELO is null"});
  ut::log_lines.clear();
  EXPECT_EQ(require_helo(nullptr, nullptr, with_helo("")), DUNNO);
  EXPECT_EQ(require_helo(nullptr, nullptr, with_helo("x")), DUNNO);
  EXPECT_TRUE(captured().empty());
}

TEST_F(HeloRules, RequireHeloWithoutLoggerStillHits) {
  EXPECT_EQ(require_helo(nullptr, nullptr, with_helo(nullptr, nullptr)), HIT);
}

// ---- valid_helo_domain
// ---------------------------------------------------------

struct helo_case {
  const char *helo;
  int expected;
  const char *message; // logged at LOG_DEBUG; null: nothing logged
};

const helo_case helo_cases[] = {
    // 1-4: absent, empty, the two local names (exact, case-sensitive).
    {nullptr, HIT, nullptr},
    {"", HIT, "HELO is empty"},
    {"localhost", HIT, "HELO is \"localhost\""},
    {"localhost.localdomain", HIT, "HELO is \"localhost.localdomain\""},
    {"LOCALHOST", HIT, "No dots in HELO"},
    {"Localhost.localdomain", DUNNO, nullptr},
    {"localhost.local", DUNNO, nullptr},
    // 5: the character scan.
    {"mail_1.example.com", HIT, "HELO contains invalid characters"},
    {"mail example.com", HIT, "HELO contains invalid characters"},
    {"mail.example.com\t", HIT, "HELO contains invalid characters"},
    {"h\xc3\xa9.example", HIT, "HELO contains invalid characters"},
    {"\x7f.example", HIT, "HELO contains invalid characters"},
    {"%s.example", HIT, "HELO contains invalid characters"},
    {"mail..example.com", HIT, "HELO contains two consecutive dots"},
    {"a..b_c", HIT, "HELO contains two consecutive dots"},
    {"a_b..c", HIT, "HELO contains invalid characters"},
    {"..example", HIT, "HELO contains two consecutive dots"},
    {"-.-", DUNNO, nullptr},
    {"a-.]b[", DUNNO, nullptr},
    {"Mail-1.Example.COM", DUNNO, nullptr},
    // 6: no dot.
    {"example", HIT, "No dots in HELO"},
    {"[192-0-2-1]", HIT, "No dots in HELO"},
    // 7: a leading digit and a dotted quad.
    {"192.0.2.1", HIT, "HELO contains IP Address"},
    {"0x7f.0.0.1", HIT, "HELO contains IP Address"},
    {"1st.example.com", DUNNO, nullptr},
    {"1.2.3.4.", DUNNO, nullptr},
    {"1.2.3", DUNNO, nullptr},
    {"192.0.2.256", DUNNO, nullptr},
    // 8: a bracketed address literal, at least 9 characters.
    {"[192.0.2.1]", HIT, nullptr},
    {"[1.2.3.4]", HIT, nullptr},
    {"[192.0.2]", DUNNO, nullptr},
    {"[mail.example.com]", DUNNO, nullptr},
    {"[1.2.3.4", DUNNO, nullptr},
    {"[1.2.3.4]x", DUNNO, nullptr},
    {"[1.2.3.4.]", DUNNO, nullptr},
    {"[1.2.3.]", DUNNO, nullptr},
    {"[.example", DUNNO, nullptr},
    // 9: a leading dot.
    {".example.com", HIT, "HELO starts with dot"},
    {".[1.2.3.4]", HIT, "HELO starts with dot"},
    // 10: everything else, a trailing dot included.
    {"example.com.", DUNNO, nullptr},
    {"mail.example.com", DUNNO, nullptr},
};

TEST_F(HeloRules, ValidHeloDomainFollowsItsStepsInOrder) {
  for (const helo_case &c : helo_cases) {
    ut::log_lines.clear();
    const std::string shown = c.helo ? std::string("'") + c.helo + "'" : "null";
    EXPECT_EQ(valid_helo_domain(nullptr, nullptr, with_helo(c.helo)),
              c.expected)
        << shown;
    std::vector<std::string> expected_log;
    if (c.message)
      expected_log.push_back(std::string("7 ") + c.message);
    EXPECT_EQ(captured(), expected_log) << shown;
  }
  EXPECT_TRUE(queries_made.empty());
}

TEST_F(HeloRules, ValidHeloDomainWithoutLoggerGivesTheSameAnswers) {
  for (const helo_case &c : helo_cases)
    EXPECT_EQ(valid_helo_domain(nullptr, nullptr, with_helo(c.helo, nullptr)),
              c.expected)
        << (c.helo ? c.helo : "null");
}

TEST_F(HeloRules, ValidHeloDomainTestsNoLengths) {
  std::string long_name(2000, 'a');
  long_name += ".example";
  EXPECT_EQ(valid_helo_domain(nullptr, nullptr, with_helo(long_name.c_str())),
            DUNNO);
}

// ---- resolve_helo_domain
// -------------------------------------------------------

TEST_F(HeloRules, ResolveHeloDomainWithoutNameDecidesNothing) {
  EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, with_helo(nullptr)),
            TEMPFAIL);
  EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, with_helo("")), DUNNO);
  EXPECT_TRUE(queries_made.empty());
}

TEST_F(HeloRules, ResolveHeloDomainSkipsAddresses) {
  EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, with_helo("192.0.2.1")),
            DUNNO);
  EXPECT_TRUE(queries_made.empty());
  EXPECT_EQ(captured(), std::vector<std::string>{
                            "6 Did not attempt to resolve IP address"});
}

TEST_F(HeloRules, ResolveHeloDomainAsksForAThenMx) {
  query_results = {-1, -1};
  EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, with_helo("nowhere.example")),
            HIT);
  EXPECT_EQ(query_names(), (std::vector<std::string>{"nowhere.example A",
                                                     "nowhere.example MX"}));
  queries_made.clear();
  query_results = {-1, 50};
  EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, with_helo("mx-only.example")),
            DUNNO);
  EXPECT_EQ(queries_made.size(), 2u);
  queries_made.clear();
  query_results = {40};
  EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, with_helo("a.example")),
            DUNNO);
  EXPECT_EQ(query_names(), std::vector<std::string>{"a.example A"});
}

TEST_F(HeloRules, ResolveHeloDomainTrustsAKnownAnswer) {
  const struct {
    int resolves;
    int expected;
  } cases[] = {{2, HIT}, {1, DUNNO}, {3, DUNNO}, {-1, DUNNO}};
  for (const auto &c : cases) {
    spp_state record = with_helo("nowhere.example");
    record.helo_resolves = c.resolves;
    EXPECT_EQ(resolve_helo_domain(nullptr, nullptr, record), c.expected)
        << c.resolves;
  }
  EXPECT_TRUE(queries_made.empty());
}

} // namespace
