// The record checks, each case a record and the verdict it gets: the
// address and HELO rules with their trace lines and DNS queries, and the
// three reverse-DNS rules side by side (block_lists is tested with
// checkList). The resolver is a script, TCPREMOTEHOST is kept out of the
// environment and config points at pattern files in a scratch directory.
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
    ut::log_lines.clear();
    saved_ = config;
    config.dsl_regex_filename = dsl_.c_str();
    config.reverse_dns_regex_filename = spam_.c_str();
  }
  void TearDown() override { config = saved_; }

  ut::temp_dir dir_;
  std::string dsl_ = dir_.file("dyna.regexes"); // missing unless written
  std::string spam_ = dir_.write("spam.regexes", "");

private:
  scripted_resolver resolver_;
  ut::unset_env no_remote_host_{"TCPREMOTEHOST"};
  corvane_config saved_{};
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
  const struct {
    const char *name;
    rule_check_func check;
    facts in;
    int expected;
    strings trace = {};           // through the record's logger
    std::deque<int> answers = {}; // res_query results
    strings queries = {};
  } cases[] = {
      // clang-format off
      {"IP as sender domain", BIA, {.from = "a@192.0.2.1", .rcpt = "b@e"}, H},
      {"IP as recipient domain", BIA, {.from = "a@e", .rcpt = "b@192.0.2.1"}, H},
      {"names", BIA, {.from = "a@e.net", .rcpt = "b@e.org"}, D},
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
      {"empty recipient", RFA, {.rcpt = ""}, H},
      {"no recipient", RFA, {}, H},
      {"no sender", VFD, {}, TF},
      {"known missing", VFD, {.from = "a@x", .mail_resolves = 2}, H},
      {"known present", VFD, {.from = "a@x", .mail_resolves = 1}, D},
      {"odd status", VFD, {.from = "a@x", .mail_resolves = 7}, D},
      {"sender without @", VFD, {.from = "postmaster"}, H},
      {"empty domain", VFD, {.from = "alice@"}, H},
      {"IP domain", VFD, {.from = "a@192.0.2.1"}, D, {NOIP}},
      {"no A or MX", VFD, {.from = "a@b@no.example"}, H, {}, {-1, -1}, NO_A_MX},
      {"MX only", VFD, {.from = "a@mx.e"}, D, {}, {-1, 9}, {"mx.e A", "mx.e MX"}},
      {"an A record", VFD, {.from = "a@a.example"}, D, {}, {30}, {"a.example A"}},
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
      {"UTF-8", VHD, {.helo = "h\xc3\xa9.example"}, H, {BAD}},
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
      {"trailing dot", VHD, {.helo = "example.com."}, D},
      {"long name", VHD, {.helo = LONG_HELO.c_str()}, D},
      {"HELO absent", RHD, {}, TF},
      {"HELO empty", RHD, {.helo = ""}, D},
      {"HELO address", RHD, {.helo = "192.0.2.1"}, D, {NOIP}},
      {"HELO without A or MX", RHD, {.helo = "no.example"}, H, {}, {-1, -1},
       NO_A_MX},
      {"HELO with MX only", RHD, {.helo = "mx.e"}, D, {}, {-1, 5},
       {"mx.e A", "mx.e MX"}},
      {"HELO with an A", RHD, {.helo = "a.e"}, D, {}, {40}, {"a.e A"}},
      {"HELO known missing", RHD, {.helo = "x", .helo_resolves = 2}, H},
      {"HELO known present", RHD, {.helo = "x", .helo_resolves = 1}, D},
      {"HELO odd status", RHD, {.helo = "x", .helo_resolves = -1}, D},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (log_func logger : {ut::capture_log, static_cast<log_func>(nullptr)}) {
      ut::log_lines.clear();
      queries_made.clear();
      query_results = c.answers;
      EXPECT_EQ(c.check(nullptr, nullptr, record_of(c.in, logger)), c.expected);
      EXPECT_EQ(ut::captured(), logger ? c.trace : strings{});
      EXPECT_EQ(queries_made, c.queries);
    }
  }
}

TEST_F(Rules, ReverseDnsRulesJudgeTheClientsName) {
  const char *IP = "192.0.2.10", *DYN = "host-10-1-2-3.example";
  const reverse_answer NAME = {"mail.example", 0}, NONE = {0, HOST_NOT_FOUND};
  const struct {
    const char *name;
    facts in;
    std::vector<int> expected;  // ip, dynamic, list
    reverse_answer answer = {}; // to each rule's lookup
    size_t lookups = 0;
    const char *remote_host = nullptr; // TCPREMOTEHOST
    const char *spam = "";
  } cases[] = {
      // clang-format off
      {"no client address", {.host = "mail.example"}, {TF, TF, TF}},
      {"invalid address", {.ip = "1.2.3"}, {TF, TF, TF}},
      {"given name", {.ip = IP, .host = "mail.example"}, {D, D, D}},
      {"given empty name", {.ip = IP, .host = ""}, {D, D, H}, {}, 0, 0, "^$\n"},
      {"no name beats a name", {.ip = IP, .host = "m", .rdns = 2}, {H, H, D}},
      {"known name", {.ip = IP, .host = DYN, .rdns = 1}, {D, H, D}},
      {"known, no name given", {.ip = IP, .rdns = 1}, {D, D, D}},
      {"known to have no name", {.ip = IP, .rdns = 2}, {H, H, D}},
      {"unknown status", {.ip = IP, .rdns = 7}, {D, D, D}},
      {"name found", {.ip = IP}, {D, D, D}, NAME, 3},
      {"no name found", {.ip = IP}, {H, H, D}, NONE, 3, 0, "^$\n"},
      {"lookup fails", {.ip = IP}, {TF, TF, TF}, {0, TRY_AGAIN}, 9},
      {"server fails", {.ip = IP}, {TF, TF, TF}, {0, NO_RECOVERY}, 3},
      {"dynamic name found", {.ip = IP}, {D, H, D}, {"h-1-2-3-4.e", 0}, 3},
      {"listed name found", {.ip = IP}, {D, D, H}, {"mx.spammy.e", 0}, 3, 0,
       "\\.spammy\\.e$\n"},
      {"front end's empty name", {.ip = IP}, {H, H, D}, {}, 0, ""},
      {"front end's name", {.ip = IP}, {D, H, D}, {}, 0, DYN},
      {"broken list", {.ip = IP, .host = "mail"}, {D, D, TF}, {}, 0, 0, "(\n"},
      {"broken list, match", {.ip = IP, .host = "mail"}, {D, D, H}, {}, 0, 0,
       "(\nmail\n"},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reverse_lookups.clear();
    reverse_script.assign(c.lookups, c.answer);
    ut::unset_env unset("TCPREMOTEHOST");
    if (c.remote_host)
      setenv("TCPREMOTEHOST", c.remote_host, 1);
    dir_.write("spam.regexes", c.spam);
    const spp_state r = record_of(c.in, nullptr);
    EXPECT_EQ((std::vector{check_ip_reverse_dns(nullptr, nullptr, r),
                           check_dynamic_reverse_dns(nullptr, nullptr, r),
                           check_reverse_dns_list(nullptr, nullptr, r)}),
              c.expected);
    EXPECT_EQ(reverse_lookups, strings(c.lookups, IP));
    EXPECT_EQ(known_sender_forgery(nullptr, nullptr, r), DUNNO);
  }
}

TEST_F(Rules, PatternFilesOfTheReverseDnsRules) {
  spp_state r = record_of({.ip = "192.0.2.10", .host = "a.POOL.e"}, nullptr);
  dir_.write("dyna.regexes", "\\.pool\\.\n");
  EXPECT_EQ(check_dynamic_reverse_dns(nullptr, nullptr, r), HIT);
  r.remote_host = const_cast<char *>("host-10-1-2-3.example");
  EXPECT_EQ(check_dynamic_reverse_dns(nullptr, nullptr, r), DUNNO);
  config.reverse_dns_regex_filename = "/nonexistent/spam.regexes";
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, r), TEMPFAIL);
  config.reverse_dns_regex_filename = nullptr;
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, r), DUNNO);
  r.logger = ut::capture_log;
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, r), DUNNO);
  r.remote_host = nullptr;
  r.rdns_status = 2; // no name: the path is not looked at
  EXPECT_EQ(check_reverse_dns_list(nullptr, nullptr, r), DUNNO);
  EXPECT_EQ(ut::captured(), strings{"6 check_reverse_dns_list(): "
                                    "reverse_dns_regex_filename not set, "
                                    "ignoring."});
}

} // namespace
