#include "rules/catalogue.h"
#include "rules/notice.h"
#include "rules/product.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// The rule of every notice id, in id order.
// clang-format off
const char *const rule_names[47] = {
    "spam_check", "smtp_blocking", "valid_from_domain", "spam_check_level",
    "block_all_mail", "loaded_template", "block_non_printable",
    "phish_protection", "required_header_list", "subject_whitelist",
    "subject_blacklist", "header_from_whitelist", "header_from_blacklist",
    "spamassassin_score", "all_global_rules", "smtp_check", "delivery_check",
    "require_full_addr", "block_mail_from_self", "block_ip_in_addr",
    "require_me_in_dest", "require_helo", "valid_helo_domain",
    "resolve_helo_domain", "mail_from_strict_addr_parse",
    "check_ip_reverse_dns", "use_global_from_blacklist",
    "use_global_from_whitelist", "from_blacklist", "from_whitelist",
    "helo_blacklist", "helo_whitelist", "use_global_helo_blacklist",
    "use_global_helo_whitelist", "use_global_country_blacklist",
    "use_global_country_whitelist", "country_blacklist", "country_whitelist",
    "use_global_ip_blacklist", "use_global_ip_whitelist", "ip_blacklist",
    "ip_whitelist", "check_dynamic_reverse_dns", "check_reverse_dns_list",
    "block_lists", "use_global_block_lists", "known_sender_forgery"};
// clang-format on

const std::string DEFAULT_TEXT =
    "Your message does not conform to our acceptance polices and was rejected";

// Reason texts of the ids with a reason of their own: {S} stands for the
// system name, {IP} for the client address.
const std::map<int, std::string> own_reasons = {
    {2, "This {S} will not accept this message, based on the MAIL FROM "
        "address provided"},
    {4, "This {S} only accepts whitelisted mail"},
    {17, "Invalid Recipient! You did not specify a complete email address to "
         "send to."},
    {18, "The {S} does not allow messages that appear to be from themselves "
         "(possible forgery)"},
    {19, "The {S} does not allow messages that use IP Addresses instead of "
         "domain names"},
    {21, "Messages from your location are rejected, missing identifier (HELO). "
         "Contact your email administrator"},
    {22, "Messages from your location are rejected, bad or missing identifier "
         "(HELO). Contact your email administrator"},
    {23, "Messages from your location are rejected, identification (HELO) has "
         "no matching DNS entry."},
    {24, "This {S} will not accept this message, bad or malformed address "
         "specified"},
    {25, "This {S} will not accept messages from servers/devices with no "
         "reverse DNS. IP=[{IP}]"},
    {28, "This {S} will not accept messages from you"},
    {30, "This {S} will not accept messages from your server"},
    {36, "This {S} will not accept messages from your area"},
    {40, "This {S} will not accept messages from your location. IP=[{IP}]"},
    {42, "Your IP address [{IP}] appears not to be an email server."},
    {43, "Your hostname matches a pattern which was abused in the past, and "
         "rejected by the {S}. IP=[{IP}]"},
    {44, "This system uses IPR to check your IP address reputation, and was "
         "rejected by the {S}. IP=[{IP}]"},
};

std::string fill(std::string text, const std::string &system,
                 const std::string &ip) {
  for (auto [token, value] :
       {std::pair<std::string, std::string>{"{S}", system}, {"{IP}", ip}}) {
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size()))
      text.replace(at, token.size(), value);
  }
  return text;
}

std::string expected_reason(int id, const std::string &system,
                            const std::string &ip) {
  auto own = own_reasons.find(id);
  return own == own_reasons.end() ? DEFAULT_TEXT
                                  : fill(own->second, system, ip);
}

std::string expected_url(int id) {
  switch (id) {
  case 4:
  case 28:
  case 30:
  case 36:
  case 40:
    return CORVANE_SITE "/empowering_the_user";
  case 44:
    return CORVANE_SITE "/power_of_ip_reputation.html";
  default:
    return std::string(CORVANE_SITE "/best_practices/") + rule_names[id] +
           ".html";
  }
}

std::string call(notice_accessor accessor, const char *system_name,
                 spp_state record) {
  ut::c_text text(accessor(system_name, record));
  return text ? text.get() : "<null>";
}

spp_state record_from(char *ip) {
  spp_state record = empty_state;
  record.remote_ip = ip;
  return record;
}

TEST(Catalogue, TablesHold47EntriesThenNull) {
  for (int id = 0; id < NOTICE_COUNT; ++id) {
    EXPECT_NE(notice_funcs[id], nullptr) << "id " << id;
    EXPECT_NE(url_funcs[id], nullptr) << "id " << id;
  }
  EXPECT_EQ(NOTICE_COUNT, 47);
  EXPECT_EQ(notice_funcs[47], nullptr);
  EXPECT_EQ(url_funcs[47], nullptr);
  EXPECT_EQ(DEFAULT_REJECTION_TEXT, DEFAULT_TEXT);
}

TEST(Catalogue, ReasonOfEveryId) {
  char ip[] = "192.0.2.7";
  const spp_state record = record_from(ip);
  for (int id = 0; id < NOTICE_COUNT; ++id) {
    EXPECT_EQ(call(notice_funcs[id], nullptr, record),
              expected_reason(id, "system", "192.0.2.7"))
        << "id " << id << " without a system name";
    EXPECT_EQ(call(notice_funcs[id], "mail server", record),
              expected_reason(id, "mail server", "192.0.2.7"))
        << "id " << id << " for a mail server";
  }
}

TEST(Catalogue, ReasonsOfRaisedIdsVerbatim) {
  // A few texts written out whole, so that the table above is checked too.
  char ip[] = "192.0.2.7";
  const spp_state record = record_from(ip);
  EXPECT_EQ(call(notice_funcs[2], nullptr, record),
            "This system will not accept this message, based on the MAIL FROM "
            "address provided");
  EXPECT_EQ(call(notice_funcs[25], "mail server", record),
            "This mail server will not accept messages from servers/devices "
            "with no reverse DNS. IP=[192.0.2.7]");
  EXPECT_EQ(call(notice_funcs[42], "mail server", record),
            "Your IP address [192.0.2.7] appears not to be an email server.");
  EXPECT_EQ(call(notice_funcs[44], nullptr, record),
            "This system uses IPR to check your IP address reputation, and was "
            "rejected by the system. IP=[192.0.2.7]");
  EXPECT_EQ(call(notice_funcs[46], "mail server", record), DEFAULT_TEXT);
}

TEST(Catalogue, AbsentIpPrintsNullMarker) {
  const spp_state record = empty_state;
  for (int id : {25, 40, 42, 43, 44})
    EXPECT_EQ(call(notice_funcs[id], "mail server", record),
              expected_reason(id, "mail server", "(null)"))
        << "id " << id;
}

TEST(Catalogue, UrlOfEveryId) {
  char ip[] = "192.0.2.7";
  const spp_state record = record_from(ip);
  for (int id = 0; id < NOTICE_COUNT; ++id) {
    EXPECT_EQ(call(url_funcs[id], nullptr, record), expected_url(id))
        << "id " << id;
    EXPECT_EQ(call(url_funcs[id], "mail server", record), expected_url(id))
        << "id " << id;
  }
  EXPECT_EQ(call(url_funcs[21], nullptr, record),
            "https://www.corvane.net/best_practices/require_helo.html");
}

// compose_notice looks for a custom text in shared memory first: run it in a
// private IPC namespace, where there is none.
using StandardNotice = ut::private_ipc_test;

TEST_F(StandardNotice, SixLinesForIpReputation) {
  char ip[] = "192.0.2.1";
  ut::c_text notice(
      compose_notice(44, nullptr, CORVANE_BANNER, record_from(ip)));
  ASSERT_NE(notice, nullptr);
  EXPECT_STREQ(notice.get(),
               "550-Your message was rejected by this system and was not "
               "delivered.\r\n"
               "550-Reason: This system uses IPR to check your IP address "
               "reputation, and was rejected by the system. "
               "IP=[192.0.2.1]\r\n"
               "550-Protection provided by: Corvane 1.0.5-4 "
               "(https://www.corvane.net)\r\n"
               "550-For more information, please visit the URL:\r\n"
               "550-https://www.corvane.net/power_of_ip_reputation.html\r\n"
               "550 or contact your ISP or mail server operator.\r\n");
}

TEST_F(StandardNotice, SystemNameAppearsInFirstLineAndReason) {
  char ip[] = "192.0.2.1";
  ut::c_text notice(
      compose_notice(28, "mail server", CORVANE_BANNER, record_from(ip)));
  ASSERT_NE(notice, nullptr);
  EXPECT_STREQ(notice.get(),
               "550-Your message was rejected by this mail server and was not "
               "delivered.\r\n"
               "550-Reason: This mail server will not accept messages from "
               "you\r\n"
               "550-Protection provided by: " CORVANE_BANNER "\r\n"
               "550-For more information, please visit the URL:\r\n"
               "550-https://www.corvane.net/empowering_the_user\r\n"
               "550 or contact your ISP or mail server operator.\r\n");
}

} // namespace
