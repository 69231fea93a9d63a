// ut_rfc: the IP, domain and address validators over tables of accepted
// and refused texts, one entry per rule and edge, and address-list splitting.
#include "util/ut_rfc.h"

#include "ut_reports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

// Each accepted text must give 1, each refused one 0.
void expect_verdicts(int (*check)(const char *), const strings &accepted,
                     const strings &refused) {
  for (const std::string &text : accepted)
    EXPECT_EQ(check(text.c_str()), 1) << "accepted: '" << text << "'";
  for (const std::string &text : refused)
    EXPECT_EQ(check(text.c_str()), 0) << "refused: '" << text << "'";
}

TEST(UtRfc, IsIpWantsDigitEndsThreeDotsAndAParsableNonZeroAddress) {
  expect_verdicts(ut_is_ip, {"10.0.0.1", "010.0.0.1", "0x1.0.0.1", "1.2.3.255"},
                  {"10.0.0", "10.0.0.1.", " 10.0.0.1", "10.0.0.1 ", "1.2.3.4.5",
                   "1.2.3.256", "1..2.3", "0.0.0.0", "255.255.255.255", ""});
  EXPECT_EQ(ut_is_ip(nullptr), 0);
}

TEST(UtRfc, ValidDomainRules) {
  expect_verdicts(ut_valid_domain,
                  {"a.b", "-a-.b", "Mail.Example.COM", "1.2.3.4.x", "1.2.3.x",
                   std::string(300, 'a') + ".com"},
                  {"ab", "abc", ".ab.c", "ab.c.", "a..bc", "1.2.3.4", "a_b.c",
                   "a b.c", "a@b.c", "caf\xc3\xa9.fr", ""});
  EXPECT_EQ(ut_valid_domain(nullptr), 0);
}

TEST(UtRfc, ValidEmailAddressRules) {
  const std::string label = std::string(63, 'd') + ".";
  const std::string domain254 = label + label + label + std::string(62, 'd');
  expect_verdicts(ut_valid_email_address,
                  {"a@b.c", "!#$%&'*+-/=?^_`{|}~.x@b.c", "first.last@ex.org",
                   "a@" + domain254},
                  {"a@x" + domain254, "a@b@c.d", "@b.c", "ab.c", "a@", "a@b",
                   "a@1.2.3.4", "a@b..c", ".a@b.c", "a.@b.c", "a..b@c.d",
                   "a b@c.d", "\"a\"@c.d", "a(b@c.d", "\xc3\xa9@c.d", ""});
}

int bracketed_only(const char *text) {
  unsigned char bracketed = 0;
  return ut_rfc822_email_address(text, &bracketed) && bracketed;
}
int bare_only(const char *text) {
  unsigned char bracketed = 0;
  return ut_rfc822_email_address(text, &bracketed) && !bracketed;
}
int any_form(const char *text) {
  return ut_rfc822_email_address(text, nullptr);
}

TEST(UtRfc, Rfc822AddressesWithPhrasesCommentsAndBrackets) {
  expect_verdicts(bracketed_only,
                  {"\"Bob\" <bob@ex.com>", "Bob Smith <bob@ex.com>",
                   "<bob@ex.com> (Bob)", "<>", "< bob@ex.com >",
                   "\"B\\\"o,b\" <bob@ex.com>"},
                  {});
  expect_verdicts(bare_only,
                  {"", "bob(comment)@ex.com", "((nested) c)bob@ex.com",
                   "(a\\)b)bob@ex.com", "  bob@ex.com  "},
                  {});
  expect_verdicts(any_form, {},
                  {"< >", "<bob>", "<bob@ex.com", "\"Bob\" bob@ex.com",
                   "\"Bob\"", "\"Bob <bob@ex.com>", "<bob@ex.com> \"Bob\"",
                   "<a@b.c> <d@e.f>", "x@y <bob@ex.com>", "(open bob@ex.com",
                   "bob@ex.com;", "bob@[192.0.2.1]", "a:b@ex.com",
                   "bob@ex.com\t", "\"B\x7f\" <bob@ex.com>",
                   "b@\xc3\xa9x.com"});
  EXPECT_EQ(ut_rfc822_email_address(nullptr, nullptr), 1);
}

TEST(UtRfc, SplitAddressesAtCommasOutsideQuotesAndComments) {
  const std::pair<const char *, const char *> cases[] = {
      // text, the elements joined by '|'
      {"a@b.c, d@e.f", "a@b.c|d@e.f"},
      {"\"Doe, J\" <j@d.e>,k@l.m", "\"Doe, J\" <j@d.e>|k@l.m"},
      {"a@b.c (x, y), d", "a@b.c (x, y)|d"},
      {"\"a\\\",b\",c", "\"a\\\",b\"|c"},
      {"a\\,b", "a\\|b"},
      {"  a \t  b  ,c", "a b|c"},
      {"a,,b", "a|b"},
      {"a,", "a"},
      {", ,", ""},
      {") ,a", ") ,a"},
      {"", ""}};
  for (const auto &[text, elements] : cases) {
    SCOPED_TRACE(text);
    ut_list_node *list = ut_split_addresses(text);
    std::string got;
    for (const ut_list_node *n = list; n; n = n->next)
      got.append(got.empty() ? "" : "|")
          .append(static_cast<const char *>(n->data), n->size - 1);
    EXPECT_EQ(got, elements);
    ut_destroy_list(&list, std::free);
  }
}

TEST(UtRfc, OnlyArgumentErrorsAreReportedAsErrors) {
  ut::library_reports reports;
  EXPECT_EQ(ut_is_ip(nullptr), 0);
  EXPECT_EQ(ut_is_ip("1.2.3.999"), 0);
  EXPECT_EQ(ut_valid_email_address("a b@c.d"), 0);
  const std::string einval = std::strerror(EINVAL);
  EXPECT_EQ(reports.lines(),
            (strings{"3 ut_rfc.cpp:# ERROR ut_is_ip(): " + einval,
                     "3 ut_dns.cpp:# ERROR ut_inet_addr(): " + einval}));
}

} // namespace
