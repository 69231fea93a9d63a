// Rejection notices built from a hostile peer's values: control bytes never
// become reply lines, a reply line stays within 512 octets by cutting only
// the inserted values, and the administrator learns when a text leaves
// little room for them.
#include "frame/verdict.h"
#include "rules/custom_notice.h"
#include "rules/notice.h"
#include "rules/product.h"
#include "util/general_funcs.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

// The placeholders and the record's texts they show.
const struct {
  const char *token;
  char *spp_state::*field;
} placeholders[] = {
    {"%IP%", &spp_state::remote_ip},     {"%HELO%", &spp_state::helo},
    {"%FROM%", &spp_state::mail_from},   {"%TO%", &spp_state::rcpt_to},
    {"%RDNS%", &spp_state::remote_host},
};

// A value with bytes a peer may send, and how a notice must show it.
const struct {
  const char *name;
  std::string raw, shown;
} peer_bytes[] = {
    {"CR", "a\rb", "a?b"},
    {"LF", "a\nb", "a?b"},
    {"CR LF and a reply of the peer's", "x\r\n250 2.1.5 ok", "x??250 2.1.5 ok"},
    {"tab", "a\tb", "a?b"},
    {"0x01", "a\x01z", "a?z"},
    {"0x1F", "a\x1fz", "a?z"},
    {"0x7F", "a\x7fz", "a?z"},
    {"0x80 and above pass", "a\x80\xc3\xa9\xffz", "a\x80\xc3\xa9\xffz"},
};

std::string reply(const std::string &text) {
  return "550 " + text + ". Protection provided by: " CORVANE_BANNER "\r\n";
}

// What a custom line costs besides the administrator's text and values.
const size_t CUSTOM_OVERHEAD = reply("").size();

std::string block_lists_notice(const std::string &ip) {
  return "550-Your message was rejected by this system and was not "
         "delivered.\r\n"
         "550-Reason: This system uses IPR to check your IP address "
         "reputation, and was rejected by the system. IP=[" +
         ip +
         "]\r\n"
         "550-Protection provided by: " CORVANE_BANNER "\r\n"
         "550-For more information, please visit the URL:\r\n"
         "550-" CORVANE_SITE "/power_of_ip_reputation.html\r\n"
         "550 or contact your ISP or mail server operator.\r\n";
}

class HostileNotice : public ut::private_ipc_test {
protected:
  // Sets one of the record's texts (kept by the fixture).
  void set(char *spp_state::*field, std::string value) {
    kept_.push_back(std::make_unique<std::string>(std::move(value)));
    record_.*field = kept_.back()->data();
  }
  // The notice for `id`, with `custom` stored first unless it is null.
  std::string compose(int id, const char *custom) {
    if (custom && store_custom_notice(id, custom) != 1)
      return "<not stored>";
    ut::c_text notice(compose_notice(id, "system", CORVANE_BANNER, record_));
    return notice ? notice.get() : "<null>";
  }

  spp_state record_ = empty_state;

private:
  std::vector<std::unique_ptr<std::string>> kept_;
};

TEST_F(HostileNotice, ControlBytesInEveryPlaceholderValueShowAsQuestionMarks) {
  for (const auto &p : placeholders) {
    const std::string custom = std::string("[") + p.token + "]";
    for (const auto &c : peer_bytes) {
      SCOPED_TRACE(std::string(p.token) + ": " + c.name);
      record_ = empty_state;
      set(p.field, c.raw);
      EXPECT_EQ(compose(43, custom.c_str()), reply("[" + c.shown + "]"));
    }
  }
}

TEST_F(HostileNotice, ControlBytesInTheStandardReasonShowAsQuestionMarks) {
  for (const auto &c : peer_bytes) {
    SCOPED_TRACE(c.name);
    set(&spp_state::remote_ip, c.raw);
    EXPECT_EQ(compose(44, nullptr), block_lists_notice(c.shown));
  }
}

TEST_F(HostileNotice, AdministratorsLineBreaksStayWhileThePeersDoNot) {
  set(&spp_state::helo, "a\r\nb");
  EXPECT_EQ(compose(21, "One\r\nTwo %HELO%"), reply("One\r\nTwo a??b"));
}

int keep_lines(string_list *lines, void *context) {
  for (; lines; lines = lines->next)
    static_cast<std::vector<std::string> *>(context)->push_back(lines->value);
  return 0;
}

TEST_F(HostileNotice, PeersCrLfNeverStartsAReplyLine) {
  set(&spp_state::helo, "x\r\n250 2.1.5 ok");
  ASSERT_EQ(store_custom_notice(21, "Bad HELO %HELO%"), 1);
  std::vector<std::string> lines;
  EXPECT_EQ(emit_notice(21, keep_lines, &lines, record_), 0);
  EXPECT_EQ(lines, std::vector<std::string>{
                       "550 Bad HELO x??250 2.1.5 ok. "
                       "Protection provided by: " CORVANE_BANNER "\n"});
}

// Reply lines are at most 512 octets, CR LF included; only values are cut.
TEST_F(HostileNotice, LongValuesAreCutToFitA512OctetLine) {
  const size_t room = 512 - CUSTOM_OVERHEAD;
  const std::string tokens_of_to = [] {
    std::string s;
    for (int i = 0; i < 1000; ++i)
      s += "%TO%";
    return s;
  }();
  const struct {
    const char *name;
    std::string custom, helo, from, to;
    std::string expected;
  } cases[] = {
      {"a line of exactly 512 is unchanged", "%HELO%", std::string(room, 'h'),
       "", "", reply(std::string(room, 'h'))},
      {"a line of 513 loses one value byte", "%HELO%",
       std::string(room + 1, 'h'), "", "", reply(std::string(room, 'h'))},
      {"a far longer value is cut to the line", "%HELO%",
       std::string(100000, 'h'), "", "", reply(std::string(room, 'h'))},
      {"all values are cut to one length", "%HELO% %FROM%",
       std::string(1000, 'h'), std::string(1000, 'f'), "",
       reply(std::string((room - 1) / 2, 'h') + " " +
             std::string((room - 1) / 2, 'f'))},
      {"a text too long by itself keeps its words and loses its values",
       std::string(600, 't') + "%HELO%", "mail.example.net", "", "",
       reply(std::string(600, 't'))},
      {"a later pass removing an earlier insertion keeps the short line",
       "[%HELO%]", tokens_of_to, "", "", reply("[]")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    record_ = empty_state;
    set(&spp_state::helo, c.helo);
    set(&spp_state::mail_from, c.from);
    set(&spp_state::rcpt_to, c.to);
    EXPECT_EQ(compose(21, c.custom.c_str()), c.expected);
  }
}

TEST_F(HostileNotice, ValuesMultipliedByLaterPassesAreCutToTheLine) {
  std::string helo;
  for (int i = 0; i < 4000; ++i)
    helo += "%FROM%";
  set(&spp_state::helo, helo);
  set(&spp_state::mail_from, std::string(4096, 's'));
  const std::string notice = compose(21, "Bad HELO %HELO%");
  EXPECT_LE(notice.size(), 512u);
  EXPECT_GT(notice.size(), 400u) << "cut no further than needed";
  EXPECT_TRUE(notice.starts_with("550 Bad HELO ssss")) << notice;
  EXPECT_TRUE(
      notice.ends_with(". Protection provided by: " CORVANE_BANNER "\r\n"))
      << notice;
}

TEST_F(HostileNotice, LongIpInTheStandardReasonIsCutToTheLine) {
  const size_t reason_line =
      std::string("550-Reason: This system uses IPR to check your IP address "
                  "reputation, and was rejected by the system. IP=[]\r\n")
          .size();
  set(&spp_state::remote_ip, std::string(1000, '1'));
  EXPECT_EQ(compose(44, nullptr),
            block_lists_notice(std::string(512 - reason_line, '1')));
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
    ut::c_text owner(text);
    EXPECT_EQ(rc, c.rc);
    EXPECT_STREQ(text, c.result);
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
