// Rejection notices: the catalogue's kinds of entry, the six-line standard
// notice, custom texts in shared memory with their placeholders, and the
// hand-over of a notice's lines to the plug-in's output.
#include "frame/verdict.h"
#include "rules/catalogue.h"
#include "rules/custom_notice.h"
#include "rules/notice.h"
#include "rules/product.h"

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
  const std::string very_long(100000, 'v');
  char helo[] = "%HELO%x%s%n%d%%", rdns[] = "a\x01\tb\x7f";
  record_.helo = helo;
  record_.rcpt_to = const_cast<char *>(very_long.c_str());
  record_.remote_host = rdns;
  ASSERT_EQ(store_custom_notice(40, "%s %HELO% %n <%TO%> [%RDNS%]"), 1);
  EXPECT_EQ(compose(40, "system", record_),
            "550 %s %HELO%x%s%n%d%% %n <" + very_long +
                "> [a\x01\tb\x7f]. Protection provided by: " CORVANE_BANNER
                "\r\n");
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

} // namespace
