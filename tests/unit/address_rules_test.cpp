// Address and IP rules: block_lists (over real map files), block_ip_in_addr,
// require_full_addr and valid_from_domain (with a scripted resolver).
#include "engine/rule_registry.h"
#include "engine/string_list.h"
#include "rules/address_rules.h"

#include "scripted_dns.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>
#include <vector>

namespace {

using namespace ut::dns_script;
using ut::captured;

class AddressRules : public ::testing::Test {
protected:
  void SetUp() override { ut::log_lines.clear(); }

  static spp_state envelope(const char *from, const char *rcpt) {
    spp_state record = empty_state;
    record.mail_from = const_cast<char *>(from);
    record.rcpt_to = const_cast<char *>(rcpt);
    record.logger = ut::capture_log;
    return record;
  }

  scripted_resolver resolver_;
};

const char *shown(const char *text) { return text ? text : "(null)"; }

// ---- block_ip_in_addr -------------------------------------------------------

TEST_F(AddressRules, BlockIpInAddrLooksAtSenderThenRecipient) {
  const struct {
    const char *from, *rcpt;
    int expected;
  } cases[] = {
      {"a@192.0.2.1", "b@example.org", HIT},
      {"a@example.net", "b@192.0.2.1", HIT},
      {"a@example.net", "b@example.org", DUNNO},
      {"a@[192.0.2.1]", "b@example.org", DUNNO},
      {"a@example.net", "b@[192.0.2.1]", DUNNO},
      {"", "b@192.0.2.1", DUNNO},           // a bounce: the sender has no "@"
      {"postmaster", "b@192.0.2.1", DUNNO}, // likewise
      {nullptr, "b@192.0.2.1", DUNNO},
      {"a@192.0.2.1", nullptr, DUNNO},
      {"a@example.net", "postmaster", DUNNO},
      {"a@x@192.0.2.1", "b@example.org", HIT}, // after the last "@"
      {"a@192.0.2.1@x", "b@example.org", DUNNO},
      {"a@1.2.3", "b@1.2.3.4.", DUNNO},
      {"a@010.1.1.1", "b@example.org", HIT},
      {"a@", "b@192.0.2.1", HIT},
  };
  for (const auto &c : cases)
    EXPECT_EQ(block_ip_in_addr(nullptr, nullptr, envelope(c.from, c.rcpt)),
              c.expected)
        << shown(c.from) << " -> " << shown(c.rcpt);
  EXPECT_TRUE(captured().empty());
}

// ---- require_full_addr
// -------------------------------------------------------

TEST_F(AddressRules, RequireFullAddrWantsTextAroundTheFirstAt) {
  const struct {
    const char *rcpt;
    int expected;
  } cases[] = {
      {"bob@example.org", DUNNO},
      {"bob@example.org@", DUNNO}, // text after the first "@" is enough
      {"b@x", DUNNO},
      {"bob@@", DUNNO},
      {"bob", HIT},
      {"@example.org", HIT},
      {"bob@", HIT},
      {"", HIT},
      {nullptr, HIT},
  };
  for (const auto &c : cases)
    EXPECT_EQ(require_full_addr(nullptr, nullptr, envelope("a@b.c", c.rcpt)),
              c.expected)
        << shown(c.rcpt);
  EXPECT_TRUE(captured().empty());
}

// ---- valid_from_domain
// ---------------------------------------------------------

TEST_F(AddressRules, ValidFromDomainDecidesWithoutQueriesWhereItCan) {
  const struct {
    const char *from;
    int resolves;
    int expected;
  } cases[] = {
      {nullptr, 0, TEMPFAIL},
      {"alice@nowhere.example", 2, HIT},
      {"alice@nowhere.example", 1, DUNNO},
      {"alice@nowhere.example", 7, DUNNO},
      {"postmaster", 0, HIT},
      {"", 0, HIT},
      {"alice@", 0, HIT},
      {"alice@192.0.2.1", 0, DUNNO},
  };
  for (const auto &c : cases) {
    spp_state record = envelope(c.from, "bob@example.org");
    record.mail_resolves = c.resolves;
    EXPECT_EQ(valid_from_domain(nullptr, nullptr, record), c.expected)
        << shown(c.from) << " resolves=" << c.resolves;
  }
  EXPECT_TRUE(queries_made.empty());
  EXPECT_EQ(captured(), std::vector<std::string>{
                            "6 Did not attempt to resolve IP address"});
}

TEST_F(AddressRules, ValidFromDomainAsksTheDnsForTheDomainPart) {
  query_results = {-1, -1};
  EXPECT_EQ(valid_from_domain(nullptr, nullptr,
                              envelope("a@b@nowhere.example", "x@y.z")),
            HIT);
  EXPECT_EQ(query_names(), (std::vector<std::string>{"nowhere.example A",
                                                     "nowhere.example MX"}));
  queries_made.clear();
  query_results = {-1, 10};
  EXPECT_EQ(valid_from_domain(nullptr, nullptr,
                              envelope("alice@mx-only.example", "x@y.z")),
            DUNNO);
  EXPECT_EQ(query_names(), (std::vector<std::string>{"mx-only.example A",
                                                     "mx-only.example MX"}));
  queries_made.clear();
  query_results = {30};
  EXPECT_EQ(
      valid_from_domain(nullptr, nullptr, envelope("alice@a.example", "x@y.z")),
      DUNNO);
  EXPECT_EQ(query_names(), std::vector<std::string>{"a.example A"});
}

// ---- block_lists
// -----------------------------------------------------------------

class BlockLists : public AddressRules {
protected:
  void SetUp() override {
    AddressRules::SetUp();
    saved_config_ = config;
    cache_ = dir_.path();
    config.ipr_cache_dir = cache_.c_str();
  }
  void TearDown() override {
    string_list_clear(&matches_);
    string_list_clear(&lists_);
    config = saved_config_;
  }

  // A map listing all of a.0.0.0/8.
  void map_listing_slash8(const std::string &name, int a) {
    std::string bytes(1024, '\0');
    bytes.replace(4 * a, 4, "\xff\xff\xff\xff");
    dir_.write(name, bytes);
  }

  void enable(std::vector<const char *> names) {
    for (const char *name : names)
      ASSERT_EQ(string_list_append(&lists_, const_cast<char *>(name)), 0);
  }

  std::vector<std::string> matched() const {
    std::vector<std::string> out;
    for (const string_list *n = matches_; n; n = n->next)
      out.emplace_back(n->value);
    return out;
  }

  spp_state client(const char *ip) {
    spp_state record = envelope("a@b.example", "c@d.example");
    record.remote_ip = const_cast<char *>(ip);
    return record;
  }

  ut::temp_dir dir_;
  std::string cache_;
  corvane_config saved_config_{};
  string_list *lists_ = nullptr;
  string_list *matches_ = nullptr;
};

TEST_F(BlockLists, NoEnabledListPasses) {
  EXPECT_EQ(block_lists(nullptr, &matches_, client("192.0.2.10")), DUNNO);
  EXPECT_EQ(matches_, nullptr);
}

TEST_F(BlockLists, EveryListHoldingTheClientIsCollectedInOrder) {
  map_listing_slash8("listA", 192);
  map_listing_slash8("listB", 192);
  map_listing_slash8("listC", 10);
  enable({"listA", "gone", "listC", "listB"});
  EXPECT_EQ(block_lists(lists_, &matches_, client("192.0.2.10")), HIT);
  EXPECT_EQ(matched(), (std::vector<std::string>{"listA", "listB"}));
  EXPECT_TRUE(captured().empty());
}

TEST_F(BlockLists, ClientOnNoListPasses) {
  map_listing_slash8("listA", 10);
  enable({"listA"});
  EXPECT_EQ(block_lists(lists_, &matches_, client("192.0.2.10")), DUNNO);
  EXPECT_EQ(matches_, nullptr);
}

TEST_F(BlockLists, CorruptOrMissingMapsFailOpen) {
  std::string corrupt(1024, '\0');
  corrupt.replace(4 * 192, 4, "\x00\x10\x00\x00", 4);
  dir_.write("corrupt", corrupt);
  enable({"corrupt", "missing"});
  EXPECT_EQ(block_lists(lists_, &matches_, client("192.0.2.10")), DUNNO);
}

TEST_F(BlockLists, MissingClientIpFailsOpen) {
  map_listing_slash8("listA", 192);
  enable({"listA"});
  EXPECT_EQ(block_lists(lists_, &matches_, client(nullptr)), DUNNO);
  EXPECT_EQ(captured(),
            std::vector<std::string>{
                "7 block_lists(): null argument(s) passed, failing open."});
}

TEST_F(BlockLists, InvalidClientIpIsOnNoList) {
  map_listing_slash8("listA", 192);
  enable({"listA"});
  EXPECT_EQ(block_lists(lists_, &matches_, client("192.0.2.300")), DUNNO);
  EXPECT_EQ(block_lists(lists_, &matches_, client("")), DUNNO);
}

} // namespace
