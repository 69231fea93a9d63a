// The reverse-DNS rules: check_ip_reverse_dns, check_dynamic_reverse_dns
// and check_reverse_dns_list (and known_sender_forgery, which passes for
// now). The resolver is replaced by a script through the dns_resolver
// table, TCPREMOTEHOST is kept out of the environment, and config points at
// pattern files in a scratch directory.
#include "rules/rdns_rules.h"

#include "engine/rule_registry.h"

#include "scripted_dns.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

using namespace ut::dns_script;
using ut::captured;

constexpr int RDNS_NAME_KNOWN = 1;
constexpr int RDNS_NO_NAME = 2;

char client_ip[] = "192.0.2.10";

class RdnsRules : public ::testing::Test {
protected:
  void SetUp() override {
    ut::log_lines.clear();
    saved_config_ = config;
    dsl_path_ = dir_.file("dyna.regexes");       // missing unless written
    spam_path_ = dir_.write("spam.regexes", ""); // matches nothing
    config.dsl_regex_filename = dsl_path_.c_str();
    config.reverse_dns_regex_filename = spam_path_.c_str();
  }

  void TearDown() override { config = saved_config_; }

  void spam_patterns(const std::string &content) {
    dir_.write("spam.regexes", content);
  }
  void dsl_patterns(const std::string &content) {
    dir_.write("dyna.regexes", content);
  }

  // A record of a client at 192.0.2.10; `host` null for no remote_host.
  static spp_state client(char *host = nullptr, int rdns_status = 0) {
    spp_state record = empty_state;
    record.remote_ip = client_ip;
    record.remote_host = host;
    record.rdns_status = rdns_status;
    return record;
  }

  // The answers of the three rules, in table order.
  static std::vector<int> judge(const spp_state &record) {
    return {check_ip_reverse_dns(nullptr, nullptr, record),
            check_dynamic_reverse_dns(nullptr, nullptr, record),
            check_reverse_dns_list(nullptr, nullptr, record)};
  }

  // Each of the three rules gets this answer from the resolver.
  static void resolver_answers(reverse_answer answer, int times = 3) {
    for (int i = 0; i < times; ++i)
      reverse_script.push_back(answer);
  }

  ut::temp_dir dir_;
  std::string dsl_path_, spam_path_;

private:
  scripted_resolver resolver_;
  ut::unset_env no_remote_host_{"TCPREMOTEHOST"};
  corvane_config saved_config_{};
};

using answers = std::vector<int>;

// ---- what every rule does without the facts
// --------------------------------------

TEST_F(RdnsRules, MissingClientAddressIsUndecided) {
  char host[] = "mail.example";
  for (spp_state record : {client(), client(host), client(nullptr, 2)}) {
    record.remote_ip = nullptr;
    EXPECT_EQ(judge(record), (answers{TEMPFAIL, TEMPFAIL, TEMPFAIL}));
  }
  EXPECT_TRUE(reverse_lookups.empty());
}

TEST_F(RdnsRules, InvalidAddressIsUndecidedWithoutAQuery) {
  spp_state record = client();
  char bad[] = "1.2.3";
  record.remote_ip = bad;
  EXPECT_EQ(judge(record), (answers{TEMPFAIL, TEMPFAIL, TEMPFAIL}));
  EXPECT_TRUE(reverse_lookups.empty());
}

// ---- a name the SMTP front end gave
// ---------------------------------------------

TEST_F(RdnsRules, GivenNameIsJudgedWithoutAQuery) {
  char host[] = "mail.example";
  EXPECT_EQ(judge(client(host)), (answers{DUNNO, DUNNO, DUNNO}));
  EXPECT_TRUE(reverse_lookups.empty());
}

TEST_F(RdnsRules, GivenEmptyNameIsJudgedAsAName) {
  char empty[] = "";
  // isDSL("") is 0; the empty spam list has no pattern to match.
  EXPECT_EQ(judge(client(empty)), (answers{DUNNO, DUNNO, DUNNO}));
  // The list is searched with the empty text: a pattern can match it.
  spam_patterns("^$\n");
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, client(empty)), HIT);
  EXPECT_TRUE(reverse_lookups.empty());
}

TEST_F(RdnsRules, KnownBadStatusOverridesAGivenName) {
  char host[] = "mail.example";
  EXPECT_EQ(judge(client(host, RDNS_NO_NAME)), (answers{HIT, HIT, DUNNO}));
}

TEST_F(RdnsRules, KnownGoodStatusLetsTheNameBeJudged) {
  char host[] = "host-10-1-2-3.example";
  EXPECT_EQ(judge(client(host, RDNS_NAME_KNOWN)), (answers{DUNNO, HIT, DUNNO}));
}

TEST_F(RdnsRules, StatusWithoutANameIsTakenAsIs) {
  EXPECT_EQ(judge(client(nullptr, RDNS_NAME_KNOWN)),
            (answers{DUNNO, DUNNO, DUNNO}));
  EXPECT_EQ(judge(client(nullptr, RDNS_NO_NAME)), (answers{HIT, HIT, DUNNO}));
  EXPECT_EQ(judge(client(nullptr, 7)), (answers{DUNNO, DUNNO, DUNNO}));
  EXPECT_TRUE(reverse_lookups.empty());
}

// ---- a name looked up by each rule
// ----------------------------------------------

TEST_F(RdnsRules, EachRuleLooksTheNameUpItself) {
  resolver_answers({"mail.example", 0});
  EXPECT_EQ(judge(client()), (answers{DUNNO, DUNNO, DUNNO}));
  EXPECT_EQ(reverse_lookups, (std::vector<std::string>(3, "192.0.2.10")));
}

TEST_F(RdnsRules, NoNameHitsTwoRulesAndPassesTheList) {
  resolver_answers({nullptr, HOST_NOT_FOUND});
  spam_patterns("^$\n"); // the list is not even asked
  EXPECT_EQ(judge(client()), (answers{HIT, HIT, DUNNO}));
  EXPECT_EQ(reverse_lookups.size(), 3u);
}

TEST_F(RdnsRules, LookupErrorsAreUndecided) {
  for (int error : {TRY_AGAIN, NO_RECOVERY, NO_DATA}) {
    reverse_lookups.clear();
    resolver_answers({nullptr, error}, error == TRY_AGAIN ? 9 : 3);
    EXPECT_EQ(judge(client()), (answers{TEMPFAIL, TEMPFAIL, TEMPFAIL}))
        << "h_errno " << error;
    EXPECT_EQ(reverse_lookups.size(), error == TRY_AGAIN ? 9u : 3u);
  }
}

TEST_F(RdnsRules, DynamicLookingFoundNameHitsTheSecondRule) {
  resolver_answers({"host-10-1-2-3.dsl.example", 0});
  EXPECT_EQ(judge(client()), (answers{DUNNO, HIT, DUNNO}));
}

TEST_F(RdnsRules, DynamicListFileDecidesWhenUsable) {
  dsl_patterns("\\.pool\\.\n");
  char pool[] = "a.POOL.example";
  char dashed[] = "host-10-1-2-3.example";
  EXPECT_EQ(check_dynamic_reverse_dns(nullptr, nullptr, client(pool)), HIT);
  EXPECT_EQ(check_dynamic_reverse_dns(nullptr, nullptr, client(dashed)), DUNNO);
}

TEST_F(RdnsRules, FoundNameOnTheSpamListHitsTheThirdRule) {
  spam_patterns("# spam sources\n\\.spammy\\.example$\n");
  resolver_answers({"mx1.spammy.example", 0});
  EXPECT_EQ(judge(client()), (answers{DUNNO, DUNNO, HIT}));
}

TEST_F(RdnsRules, FrontEndNameInTheEnvironmentIsUsedByTheLookup) {
  // remote_host absent but TCPREMOTEHOST set: lookupReverseDNS takes it.
  setenv("TCPREMOTEHOST", "", 1);
  EXPECT_EQ(judge(client()), (answers{HIT, HIT, DUNNO}));
  setenv("TCPREMOTEHOST", "host-10-1-2-3.example", 1);
  EXPECT_EQ(judge(client()), (answers{DUNNO, HIT, DUNNO}));
  EXPECT_TRUE(reverse_lookups.empty());
}

TEST_F(RdnsRules, FoundNameStaysInTheRulesCopy) {
  resolver_answers({"mail.example", 0}, 1);
  spp_state record = client();
  EXPECT_EQ(check_ip_reverse_dns(nullptr, nullptr, record), DUNNO);
  EXPECT_EQ(record.remote_host, nullptr);
}

// ---- the spam list's file
// ---------------------------------------------------------

TEST_F(RdnsRules, UnusableSpamListIsUndecided) {
  char host[] = "mail.example";
  spam_patterns("(\n");
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, client(host)), TEMPFAIL);
  spam_patterns("(\nmail\n");
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, client(host)), HIT);
  config.reverse_dns_regex_filename = dsl_path_.c_str(); // missing
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, client(host)), TEMPFAIL);
}

TEST_F(RdnsRules, UnsetSpamListPathPassesWithATrace) {
  config.reverse_dns_regex_filename = nullptr;
  char host[] = "mail.example";
  spp_state record = client(host);
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, record), DUNNO);
  EXPECT_TRUE(captured().empty()); // no logger, no trace
  record.logger = ut::capture_log;
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, record), DUNNO);
  EXPECT_EQ(captured(), std::vector<std::string>{
                            "6 check_reverse_dns_list(): "
                            "reverse_dns_regex_filename not set, ignoring."});
}

TEST_F(RdnsRules, UnsetSpamListPathIsNotReachedWithoutAName) {
  config.reverse_dns_regex_filename = nullptr;
  spp_state record = client(nullptr, RDNS_NO_NAME);
  record.logger = ut::capture_log;
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, record), DUNNO);
  EXPECT_TRUE(captured().empty());
}

// ---- known_sender_forgery
// ------------------------------------------------------------

TEST_F(RdnsRules, KnownSenderForgeryPassesForNow) {
  char host[] = "mail.example";
  EXPECT_EQ(known_sender_forgery(nullptr, nullptr, client(host)), DUNNO);
}

} // namespace
