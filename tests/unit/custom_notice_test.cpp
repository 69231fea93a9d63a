#include "rules/custom_notice.h"
#include "rules/notice.h"
#include "rules/product.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

key_t key_of(int id) { return ftok("/bin/bash", id); }

// The stored text, or "<null>".
std::string fetched(int id) {
  ut::c_text text(fetch_custom_notice(id));
  return text ? text.get() : "<null>";
}

// Makes a segment by hand: `size` bytes, the header word, then the text.
void make_segment(int id, size_t size, uint32_t header,
                  const std::string &text) {
  ASSERT_GE(size, sizeof header + text.size());
  int shmid = shmget(key_of(id), size, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_NE(shmid, -1) << std::strerror(errno);
  void *at = shmat(shmid, nullptr, 0);
  ASSERT_NE(at, reinterpret_cast<void *>(-1));
  std::memcpy(at, &header, sizeof header);
  std::memcpy(static_cast<char *>(at) + sizeof header, text.data(),
              text.size());
  shmdt(at);
}

// The segment for the id as the kernel sees it; segsz 0 when there is none.
struct shmid_ds segment_info(int id) {
  struct shmid_ds info {};
  int shmid = shmget(key_of(id), 0, 0);
  if (shmid != -1)
    shmctl(shmid, IPC_STAT, &info);
  return info;
}

using CustomNotice = ut::private_ipc_test;

TEST_F(CustomNotice, NothingStoredGivesNull) {
  EXPECT_EQ(open_custom_notice(25), -1);
  EXPECT_EQ(fetch_custom_notice(25), nullptr);
  EXPECT_EQ(fetch_custom_notice(0), nullptr);
}

TEST_F(CustomNotice, StoredTextIsFetchedFromAnExactSegment) {
  ASSERT_EQ(store_custom_notice(25, "No PTR for %IP%"), 1);
  EXPECT_EQ(fetched(25), "No PTR for %IP%");
  const struct shmid_ds info = segment_info(25);
  EXPECT_EQ(info.shm_segsz, 19u);
  EXPECT_EQ(info.shm_perm.mode & 0777, 0777u);
  EXPECT_EQ(fetched(24), "<null>");
  EXPECT_EQ(fetched(26), "<null>");
}

TEST_F(CustomNotice, StoringAgainReplacesTheText) {
  ASSERT_EQ(store_custom_notice(25, "No PTR for %IP%"), 1);
  ASSERT_EQ(store_custom_notice(25, "Get a reverse DNS name, %IP%"), 1);
  EXPECT_EQ(fetched(25), "Get a reverse DNS name, %IP%");
  EXPECT_EQ(segment_info(25).shm_segsz, 32u);
  ASSERT_EQ(store_custom_notice(25, "Short"), 1);
  EXPECT_EQ(fetched(25), "Short");
  EXPECT_EQ(segment_info(25).shm_segsz, 9u);
}

TEST_F(CustomNotice, EmptyOrAbsentTextRemovesIt) {
  for (const char *nothing : {"", static_cast<const char *>(nullptr)}) {
    ASSERT_EQ(store_custom_notice(25, "No PTR for %IP%"), 1);
    EXPECT_EQ(store_custom_notice(25, nothing), 1);
    EXPECT_EQ(fetched(25), "<null>");
    EXPECT_EQ(shmget(key_of(25), 0, 0), -1);
  }
  EXPECT_EQ(store_custom_notice(25, ""), 1) << "removing nothing still works";
}

TEST_F(CustomNotice, IdZeroIsRefused) {
  EXPECT_EQ(store_custom_notice(0, "x"), 0);
  EXPECT_EQ(shmget(key_of(0), 0, 0), -1);
  EXPECT_EQ(store_custom_notice(-3, "x"), 0);
}

TEST_F(CustomNotice, SegmentSmallerThanItsHeaderClaimsIsUnusable) {
  make_segment(25, 8, 100, "abcd");
  EXPECT_EQ(open_custom_notice(25), -1);
  EXPECT_EQ(fetch_custom_notice(25), nullptr);
}

TEST_F(CustomNotice, LargerSegmentGivesTheClaimedBytesOnly) {
  make_segment(25, 20, 5, "hello, and more");
  EXPECT_NE(open_custom_notice(25), -1);
  EXPECT_EQ(fetched(25), "hello");
}

class CustomComposition : public ut::private_ipc_test {
protected:
  std::string compose(int id, const char *custom) {
    if (custom && store_custom_notice(id, custom) != 1)
      return "<not stored>";
    ut::c_text notice(
        compose_notice(id, "mail server", CORVANE_BANNER, record));
    return notice ? notice.get() : "<null>";
  }
  static std::string reply(const std::string &text) {
    return "550 " + text + ". Protection provided by: " CORVANE_BANNER "\r\n";
  }

  char ip[10] = "192.0.2.1";
  spp_state record = [this] {
    spp_state r = empty_state;
    r.remote_ip = ip;
    return r;
  }();
};

TEST_F(CustomComposition, OneLineWithPlaceholdersFilled) {
  char helo[] = "mail.example.net";
  record.helo = helo;
  EXPECT_EQ(compose(25, "Go away %IP% (%HELO%)"),
            "550 Go away 192.0.2.1 (mail.example.net). Protection provided "
            "by: Corvane 1.0.5-4 (https://www.corvane.net)\r\n");
}

TEST_F(CustomComposition, AbsentFieldLeavesItsToken) {
  EXPECT_EQ(compose(25, "Go away %IP% (%HELO%)"),
            reply("Go away 192.0.2.1 (%HELO%)"));
}

TEST_F(CustomComposition, AllFivePlaceholders) {
  char helo[] = "mail.example.net";
  char from[] = "alice@example.org";
  char to[] = "bob@example.com";
  char rdns[] = "host7.example.net";
  record.helo = helo;
  record.mail_from = from;
  record.rcpt_to = to;
  record.remote_host = rdns;
  EXPECT_EQ(compose(40, "%IP%|%HELO%|%FROM%|%TO%|%RDNS%|%IP%"),
            reply("192.0.2.1|mail.example.net|alice@example.org|"
                  "bob@example.com|host7.example.net|192.0.2.1"));
}

TEST_F(CustomComposition, InsertedValueIsNotExpandedByItsOwnPass) {
  char helo[] = "%HELO%x";
  record.helo = helo;
  EXPECT_EQ(compose(21, "%HELO%"), reply("%HELO%x"));
}

TEST_F(CustomComposition, LaterPassFillsTokensInsideEarlierValues) {
  char helo[] = "evil%FROM%";
  char from[] = "alice@example.org";
  record.helo = helo;
  record.mail_from = from;
  EXPECT_EQ(compose(21, "HELO %HELO%"), reply("HELO evilalice@example.org"));
}

// The six-line notice composed for a mail server, with its reason and URL.
std::string standard(const std::string &reason, const std::string &url) {
  return "550-Your message was rejected by this mail server and was not "
         "delivered.\r\n"
         "550-Reason: " +
         reason +
         "\r\n"
         "550-Protection provided by: " CORVANE_BANNER "\r\n"
         "550-For more information, please visit the URL:\r\n"
         "550-" +
         url + "\r\n550 or contact your ISP or mail server operator.\r\n";
}

TEST_F(CustomComposition, IdZeroNeverUsesACustomText) {
  make_segment(0, 4 + 6, 6, "custom");
  EXPECT_EQ(open_custom_notice(0), -1);
  EXPECT_EQ(fetch_custom_notice(0), nullptr);
  EXPECT_EQ(compose(0, nullptr),
            standard("Your message does not conform to our acceptance polices "
                     "and was rejected",
                     "https://www.corvane.net/best_practices/spam_check.html"));
}

TEST_F(CustomComposition, OtherIdsKeepTheStandardNotice) {
  ASSERT_EQ(store_custom_notice(25, "Only for 25"), 1);
  EXPECT_EQ(compose(25, nullptr), reply("Only for 25"));
  EXPECT_EQ(compose(44, nullptr),
            standard("This system uses IPR to check your IP address "
                     "reputation, and was rejected by the mail server. "
                     "IP=[192.0.2.1]",
                     "https://www.corvane.net/power_of_ip_reputation.html"));
}

} // namespace
