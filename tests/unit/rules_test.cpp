// The record checks, each case a record and the verdict it gets: the
// address and HELO rules with their trace lines and DNS queries, and the
// three reverse-DNS rules side by side. The resolver is a script,
// TCPREMOTEHOST is kept out of the environment and config points at pattern
// files in a scratch directory.
#include "engine/rule_registry.h"
#include "rules/address_rules.h"
#include "rules/helo_rules.h"
#include "rules/rdns_rules.h"

#include "scripted_dns.h"
#include "test_support.h"

namespace {

using namespace ut::dns_script;
using strings = std::vector<std::string>;
constexpr int D = DUNNO, H = HIT, TF = TEMPFAIL;

// The facts of a record that the rules look at.
struct facts {
  const char *ip = nullptr, *host = nullptr, *helo = nullptr, *from = nullptr,
             *rcpt = nullptr;
  int rdns = 0, helo_resolves = 0, mail_resolves = 0;
};

spp_state record_of(const facts &f, log_func logger) {
  auto text = [](const char *t) { return const_cast<char *>(t); };
  // clang-format off
  return {text(f.ip), text(f.host), text(f.helo), text(f.from), text(f.rcpt),
          nullptr, nullptr, nullptr, nullptr, 0, 0, 0, f.helo_resolves,
          f.mail_resolves, f.rdns, logger};
  // clang-format on
}

class Rules : public ::testing::Test {
protected:
  void SetUp() override {
    unsetenv("TCPREMOTEHOST");
    ut::log_lines.clear();
    config.dsl_regex_filename = dsl_.c_str(); // missing: the built-in pattern
    config.reverse_dns_regex_filename = spam_.c_str();
  }
  void TearDown() override { config = saved_; }

  const corvane_config saved_ = config;
  ut::temp_dir dir_;
  const std::string dsl_ = dir_.file("dyna.regexes"),
                    spam_ = dir_.write("spam.regexes", "");
  scripted_resolver resolver_;
};

const std::string LONG_HELO = std::string(2000, 'a') + ".example";

TEST_F(Rules, RecordChecksJudgeTheEnvelopeAndTheHelo) {
  const auto BIA = block_ip_in_addr, RFA = require_full_addr,
             VFD = valid_from_domain, RH = require_helo,
             VHD = valid_helo_domain, RHD = resolve_helo_domain;
  const auto NOIP = "6 Did not attempt to resolve IP address",
             BAD = "7 HELO contains invalid characters",
             NODOT = "7 No dots in HELO";
  const strings NO_A_MX = {"no.example A", "no.example MX"};
  // clang-format off
  const struct { const char *name; rule_check_func check; facts in;
                 int expected; strings trace = {}; // through the record's logger
                 std::deque<int> answers = {}; // res_query results
                 strings queries = {}; } cases[] = {
      {"IP as sender domain", BIA, {.from = "a@192.0.2.1", .rcpt = "b@e"}, H},
      {"IP as recipient domain", BIA, {.from = "a@e", .rcpt = "b@192.0.2.1"}, H},
      {"literal", BIA, {.from = "a@[192.0.2.1]", .rcpt = "b@e"}, D},
      {"bounce", BIA, {.from = "", .rcpt = "b@192.0.2.1"}, D},
      {"no sender", BIA, {.rcpt = "b@192.0.2.1"}, D},
      {"no recipient", BIA, {.from = "a@192.0.2.1"}, D},
      {"bare recipient", BIA, {.from = "a@e", .rcpt = "pm"}, D},
      {"after the last @", BIA, {.from = "a@x@192.0.2.1", .rcpt = "b@e"}, H},
      {"before the last @", BIA, {.from = "a@192.0.2.1@x", .rcpt = "b@e"}, D},
      {"empty sender domain", BIA, {.from = "a@", .rcpt = "b@192.0.2.1"}, H},
      {"full address", RFA, {.rcpt = "bob@e.org"}, D},
      {"text after the first @", RFA, {.rcpt = "bob@@"}, D},
      {"no @", RFA, {.rcpt = "bob"}, H},
      {"no local part", RFA, {.rcpt = "@e.org"}, H},
      {"no domain", RFA, {.rcpt = "bob@"}, H},
      {"no sender", VFD, {}, TF},
      {"known missing", VFD, {.from = "a@x", .mail_resolves = 2}, H},
      {"known present", VFD, {.from = "a@x", .mail_resolves = 1}, D},
      {"odd status", VFD, {.from = "a@x", .mail_resolves = 7}, D},
      {"sender without @", VFD, {.from = "postmaster"}, H},
      {"empty domain", VFD, {.from = "alice@"}, H},
      {"IP domain", VFD, {.from = "a@192.0.2.1"}, D, {NOIP}},
      {"no A or MX", VFD, {.from = "a@b@no.example"}, H, {}, {-1, -1}, NO_A_MX},
      {"no HELO", RH, {}, H, {"7 require_helo: HELO is null"}},
      {"empty HELO given", RH, {.helo = ""}, D},
      {"HELO absent", VHD, {}, H},
      {"HELO empty", VHD, {.helo = ""}, H, {"7 HELO is empty"}},
      {"localhost", VHD, {.helo = "localhost"}, H, {"7 HELO is \"localhost\""}},
      {"localhost.localdomain", VHD, {.helo = "localhost.localdomain"}, H,
       {"7 HELO is \"localhost.localdomain\""}},
      {"LOCALHOST", VHD, {.helo = "LOCALHOST"}, H, {NODOT}},
      {"Localhost.localdomain", VHD, {.helo = "Localhost.localdomain"}, D},
      {"underscore", VHD, {.helo = "mail_1.e.com"}, H, {BAD}},
      {"two dots", VHD, {.helo = "a..b_c"}, H,
       {"7 HELO contains two consecutive dots"}},
      {"allowed characters", VHD, {.helo = "a-.]B[9"}, D},
      {"no dot", VHD, {.helo = "[192-0-2-1]"}, H, {NODOT}},
      {"dotted quad", VHD, {.helo = "0x7f.0.0.1"}, H,
       {"7 HELO contains IP Address"}},
      {"leading digit", VHD, {.helo = "1st.example.com"}, D},
      {"address literal", VHD, {.helo = "[1.2.3.4]"}, H},
      {"text after literal", VHD, {.helo = "[1.2.3.4]x"}, D},
      {"literal with four dots", VHD, {.helo = "[1.2.3.4.]"}, D},
      {"leading dot", VHD, {.helo = ".[1.2.3.4]"}, H, {"7 HELO starts with dot"}},
      {"long name", VHD, {.helo = LONG_HELO.c_str()}, D},
      {"HELO absent", RHD, {}, TF},
      {"HELO empty", RHD, {.helo = ""}, D},
      {"HELO known missing", RHD, {.helo = "x", .helo_resolves = 2}, H},
      {"HELO known present", RHD, {.helo = "x", .helo_resolves = 1}, D},
      {"HELO odd status", RHD, {.helo = "x", .helo_resolves = -1}, D},
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (log_func logger : {ut::capture_log, static_cast<log_func>(nullptr)}) {
      ut::log_lines.clear();
      queries_made.clear();
      query_results = c.answers;
      EXPECT_EQ(c.check(nullptr, nullptr, record_of(c.in, logger)), c.expected);
      EXPECT_EQ(ut::log_lines, logger ? c.trace : strings{});
      EXPECT_EQ(queries_made, c.queries);
    }
  }
}

// Names found, missing or failing to resolve are judged end to end.
TEST_F(Rules, ReverseDnsRulesJudgeTheClientsName) {
  const char *IP = "192.0.2.10", *DYN = "host-10-1-2-3.example";
  // clang-format off
  const struct { const char *name; facts in;
                 std::vector<int> expected; // ip, dynamic, list
                 size_t lookups = 0; } cases[] = { // each failing for good
      {"no client address", {.host = "mail.example"}, {TF, TF, TF}},
      {"no name beats a name", {.ip = IP, .host = "m", .rdns = 2}, {H, H, D}},
      {"known name", {.ip = IP, .host = DYN, .rdns = 1}, {D, H, D}},
      {"known, no name given", {.ip = IP, .rdns = 1}, {D, D, D}},
      {"known to have no name", {.ip = IP, .rdns = 2}, {H, H, D}},
      {"unknown status", {.ip = IP, .rdns = 7}, {D, D, D}},
      {"server fails", {.ip = IP}, {TF, TF, TF}, 3},
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reverse_lookups.clear();
    reverse_script.assign(c.lookups, {nullptr, NO_RECOVERY});
    const spp_state r = record_of(c.in, nullptr);
    EXPECT_EQ((std::vector{check_ip_reverse_dns(nullptr, nullptr, r),
                           check_dynamic_reverse_dns(nullptr, nullptr, r),
                           check_reverse_dns_list(nullptr, nullptr, r)}),
              c.expected);
    EXPECT_EQ(reverse_lookups, strings(c.lookups, IP));
  }
}

} // namespace
