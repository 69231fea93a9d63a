#include "rules/address_rules.h"

#include "lookup/dns_lookup.h"
#include "lookup/ipr_maps.h"

#include <cstring>
#include <syslog.h>

namespace {

// The text after the last "@", or null when there is none.
const char *domain_part(const char *address) {
  const char *at = std::strrchr(address, '@');
  return at ? at + 1 : nullptr;
}

} // namespace

int block_lists(string_list *ipr_lists, string_list **matches,
                spp_state record) {
  if (!record.remote_ip) {
    RULE_TRACE(record, LOG_DEBUG,
               "block_lists(): null argument(s) passed, failing open.");
    return DUNNO;
  }
  return checkList(ipr_lists, record.remote_ip, CHECK_LIST_IPR, matches) == 1
             ? HIT
             : DUNNO;
}

int block_ip_in_addr(string_list *, string_list **, spp_state record) {
  if (!record.mail_from || !record.rcpt_to)
    return DUNNO;
  const char *sender_domain = domain_part(record.mail_from);
  if (!sender_domain)
    return DUNNO;
  if (isIPAddress(sender_domain) == 1)
    return HIT;
  const char *recipient_domain = domain_part(record.rcpt_to);
  if (!recipient_domain)
    return DUNNO;
  return isIPAddress(recipient_domain) == 1 ? HIT : DUNNO;
}

int require_full_addr(string_list *, string_list **, spp_state record) {
  if (!record.rcpt_to)
    return HIT;
  const char *at = std::strchr(record.rcpt_to, '@');
  if (!at || at == record.rcpt_to)
    return HIT;
  return at[1] == '\0' ? HIT : DUNNO;
}

int valid_from_domain(string_list *, string_list **, spp_state record) {
  if (!record.mail_from)
    return TEMPFAIL;
  if (record.mail_resolves != 0)
    return record.mail_resolves == 2 ? HIT : DUNNO;
  const char *domain = domain_part(record.mail_from);
  if (!domain)
    return HIT;
  if (isIPAddress(domain) == 1) {
    RULE_TRACE(record, LOG_INFO, "Did not attempt to resolve IP address");
    return DUNNO;
  }
  if (!*domain)
    return HIT;
  return lookupDomain(domain) == 1 ? HIT : DUNNO;
}
