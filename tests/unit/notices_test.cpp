// Rejection notices: the catalogue's kinds of entry, the six-line standard
// notice, custom texts in shared memory with their placeholders, and the
// hand-over of a notice's lines to the plug-in's output.
#include "frame/verdict.h"
#include "rules/catalogue.h"
#include "rules/custom_notice.h"
#include "rules/notice.h"
#include "rules/product.h"
#include "util/general_funcs.h"

#include "test_support.h"

#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

using ut::taken;

TEST(Catalogue, SlotsOfAnAbsentSystemOrAddressAndOfPercentSigns) {
  char ip[] = "192.0.2.7";
  // clang-format off
  const struct { int id; const char *system; char *ip; std::string reason;
  } cases[] = {
      {4, nullptr, ip, "This system only accepts whitelisted mail"},
      {40, "mail server", nullptr, "This mail server will not accept messages "
                                   "from your location. IP=[(null)]"},
      {44, "%s%n", ip, "This system uses IPR to check your IP address "
                       "reputation, and was rejected by the %s%n. "
                       "IP=[192.0.2.7]"},
  };
  // clang-format on
  for (const auto &c : cases) {
    spp_state record = empty_state;
    record.remote_ip = c.ip;
    EXPECT_EQ(taken(notice_funcs[c.id](c.system, record)), c.reason);
  }
  EXPECT_EQ(taken(url_funcs[4](nullptr, empty_state)),
            CORVANE_SITE "/empowering_the_user");
}

// Each test gets a new, empty IPC namespace: the segments it makes or looks
// for are never the host's.
class Notice : public ::testing::Test {
protected:
  void SetUp() override {
    record_.remote_ip = ip_;
    if (unshare(CLONE_NEWIPC) != 0)
      GTEST_SKIP() << "no IPC namespace: " << std::strerror(errno);
  }
  // A segment made by hand: `size` bytes, the header word, then the text.
  static void make_segment(int id, size_t size, uint32_t header,
                           const std::string &text) {
    int shmid =
        shmget(ftok("/bin/bash", id), size, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(shmid, -1) << std::strerror(errno);
    char *at = static_cast<char *>(shmat(shmid, nullptr, 0));
    std::memcpy(at, &header, sizeof header);
    text.copy(at + sizeof header, text.size());
    shmdt(at);
  }
  // The segment for the id as the kernel sees it; segsz 0 when there is none.
  static struct shmid_ds segment(int id) {
    struct shmid_ds info {};
    int shmid = shmget(ftok("/bin/bash", id), 0, 0);
    if (shmid != -1)
      shmctl(shmid, IPC_STAT, &info);
    return info;
  }
  std::string compose(int id, const char *system, spp_state record) {
    return taken(compose_notice(id, system, CORVANE_BANNER, record));
  }

  char ip_[10] = "192.0.2.1";
  spp_state record_ = empty_state;
};

// The six-line form of the standard notice is checked end to end.
TEST_F(Notice, IdsOutsideTheCatalogueGetEntryZerosTexts) {
  const std::string zero = compose(0, "system", record_);
  EXPECT_NE(zero.find("550-" CORVANE_SITE "/best_practices/spam_check.html"),
            std::string::npos);
  EXPECT_NE(compose(46, "system", record_), zero); // the last entry
  EXPECT_EQ(compose(47, "system", record_), zero); // one past the end
  make_segment(0, 10, 6, "custom"); // id 0 never has a custom text
  EXPECT_EQ(open_custom_notice(0), -1);
  EXPECT_EQ(compose(0, nullptr, record_), zero);
}

TEST_F(Notice, StoredTextLivesInASegmentOfExactlyItsSize) {
  EXPECT_EQ(open_custom_notice(25), -1);
  EXPECT_EQ(taken(fetch_custom_notice(25)), "<null>");
  for (const char *text : {"Get a reverse name, %IP%", "S"}) {
    ASSERT_EQ(store_custom_notice(25, text), 1);
    EXPECT_EQ(taken(fetch_custom_notice(25)), text);
    EXPECT_EQ(segment(25).shm_segsz, std::strlen(text) + 4);
    EXPECT_EQ(segment(25).shm_perm.mode & 0777, 0777u);
  }
  for (const char *nothing : {"", static_cast<const char *>(nullptr)}) {
    ASSERT_EQ(store_custom_notice(25, "x"), 1);
    EXPECT_EQ(store_custom_notice(25, nothing), 1);
    EXPECT_EQ(segment(25).shm_segsz, 0u);
  }
  EXPECT_EQ(store_custom_notice(25, ""), 1) << "removing nothing";
}

// One byte short and just long enough are checked end to end.
TEST_F(Notice, SegmentMustHoldWhatItsHeaderClaims) {
  make_segment(1, 8, 100, "abcd");
  EXPECT_EQ(open_custom_notice(1), -1);
  EXPECT_EQ(taken(fetch_custom_notice(1)), "<null>");
  make_segment(2, 20, 5, "hello, and more"); // longer than it claims
  EXPECT_EQ(taken(fetch_custom_notice(2)), "hello");
}

// Each placeholder, and a value holding another, are filled end to end.
TEST_F(Notice, CustomTextFillsPlaceholdersWithPeerValuesAsData) {
  char helo[] = "%HELO%x%s%n%d%%", rdns[] = "a\x01\tb\x7f\x80", to[] = "t";
  record_.helo = helo;
  record_.rcpt_to = to;
  record_.remote_host = rdns;
  ASSERT_EQ(store_custom_notice(40, "%s %HELO% %n <%TO%> [%RDNS%]"), 1);
  EXPECT_EQ(compose(40, "system", record_),
            "550 %s %HELO%x%s%n%d%% %n <t> [a??b?\x80]. Protection provided "
            "by: " CORVANE_BANNER "\r\n");
  ASSERT_EQ(store_custom_notice(40, "x"), 1);
  EXPECT_EQ(taken(compose_notice(40, "system", nullptr, record_)),
            "550 x. Protection provided by: \r\n");
}

int count_lines(string_list *lines, void *context) {
  for (; lines; lines = lines->next)
    ++*static_cast<int *>(context);
  return 7;
}

// The P/E lines of print_verdict are checked end to end.
TEST_F(Notice, EmitNoticeHandsTheLinesToItsOutput) {
  int lines = 0;
  EXPECT_EQ(emit_notice(28, count_lines, &lines, record_), 7);
  EXPECT_EQ(lines, 6);
  EXPECT_EQ(emit_notice(28, nullptr, nullptr, record_), -1);
}

// Reply lines are at most 512 octets, CR LF included; only the values are
// cut. The plain edges (512, 513, values sharing the room) are end to end.
std::string reply(const std::string &text) {
  return "550 " + text + ". Protection provided by: " CORVANE_BANNER "\r\n";
}
const size_t CUSTOM_OVERHEAD = reply("").size();

TEST_F(Notice, LongValuesAreCutToTheLineInTheirOrderOfPasses) {
  std::string many_to, many_from;
  for (int i = 0; i < 4000; ++i)
    many_to += "%TO%", many_from += "%FROM%";
  const std::string from(4096, 's'), huge(100000, 'h');
  const struct {
    const char *name;
    std::string custom, helo, from, to, expected;
  } cases[] = {
      {"a far longer value", "%HELO%", huge, "", "",
       reply(std::string(512 - CUSTOM_OVERHEAD, 'h'))},
      {"a text too long by itself loses its values",
       std::string(600, 't') + "%HELO%", "mail.example.net", "", "",
       reply(std::string(600, 't'))},
      {"a later pass removing an earlier insertion", "[%HELO%]", many_to, "",
       "", reply("[]")},
      {"values multiplied by a later pass (cut, not exactly)",
       "Bad HELO %HELO%", many_from, from, "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    spp_state record = empty_state;
    record.helo = const_cast<char *>(c.helo.c_str());
    record.mail_from = const_cast<char *>(c.from.c_str());
    record.rcpt_to = const_cast<char *>(c.to.c_str());
    ASSERT_EQ(store_custom_notice(21, c.custom.c_str()), 1);
    const std::string notice = compose(21, "system", record);
    if (c.expected.empty()) {
      EXPECT_LE(notice.size(), 512u);
      EXPECT_GT(notice.size(), 400u) << "cut no further than needed";
    } else {
      EXPECT_EQ(notice, c.expected);
    }
  }
}

TEST_F(Notice, AHostileIpInTheStandardReasonIsShownAndCut) {
  const std::string prefix =
      "550-Reason: This system uses IPR to check your IP "
      "address reputation, and was rejected by the "
      "system. IP=[";
  const struct {
    const char *name;
    std::string ip, shown;
  } cases[] = {
      {"control bytes", "a\r\nb\x7f\x80", "a??b?\x80"},
      {"a long value", std::string(1000, '1'),
       std::string(512 - prefix.size() - 3, '1')},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    spp_state record = empty_state;
    record.remote_ip = const_cast<char *>(c.ip.c_str());
    EXPECT_NE(compose(44, "system", record).find(prefix + c.shown + "]\r\n"),
              std::string::npos);
  }
}

TEST(ReplaceAllWithin, ReplacesOnlyWhenTheResultFitsTheLimit) {
  const struct {
    const char *name;
    const char *replacement;
    size_t limit;
    int rc;
    const char *result;
  } cases[] = {
      {"result of exactly the limit", "123", 5, 1, "a123b"},
      {"one byte over the limit: untouched", "123", 4, 0, "a%IP%b"},
      {"a shrinking result under a limit below the text", "", 2, 1, "ab"},
      {"no value: nothing to do", nullptr, 0, 1, "a%IP%b"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    char *text = strdup("a%IP%b");
    const int rc = replace_all_within(&text, "%IP%", c.replacement, c.limit);
    EXPECT_EQ(taken(text), c.result);
    EXPECT_EQ(rc, c.rc);
  }
}

TEST(CustomNoticeRoom, OctetsLeftForValuesAndPlaceholdersCounted) {
  const long room = 512 - static_cast<long>(CUSTOM_OVERHEAD);
  const std::string long_line = std::string(100, 'l') + "%IP%";
  const struct {
    const char *name;
    std::string text;
    long room;
    int placeholders;
  } cases[] = {
      {"no placeholder", "Go away", room - 7, 0},
      {"every occurrence counts", "%IP% and %IP% (%HELO%)", room - 8, 3},
      {"a text too long by itself", std::string(600, 't'), room - 600, 0},
      {"the longest line decides", "short\r\n" + long_line,
       512 - static_cast<long>(100 + CUSTOM_OVERHEAD - 4), 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    int placeholders = -1;
    EXPECT_EQ(custom_notice_room(c.text.c_str(), &placeholders), c.room);
    EXPECT_EQ(placeholders, c.placeholders);
  }
}

} // namespace
