#include "rules/rdns_rules.h"

#include "engine/rule_registry.h"
#include "lookup/dns_lookup.h"
#include "lookup/regex_lists.h"
#include "util/raii.h"

#include <syslog.h>

namespace {

// Values of spp_state.rdns_status.
constexpr int32_t RDNS_NOT_LOOKED_UP = 0;
constexpr int32_t RDNS_NO_NAME = 2;

// lookupReverseDNS results.
constexpr int NAME_FOUND = 0;
constexpr int LOOKUP_ERROR = 2;
constexpr int INVALID_ARGUMENT = 666;

bool needs_lookup(const spp_state &record) {
  return !record.remote_host && record.rdns_status == RDNS_NOT_LOOKED_UP;
}

// Looks the client's name up into the rule's copy of the record; `owner`
// takes the heap text (a name or the empty text) so that it goes with the
// rule. Returns lookupReverseDNS's result.
int look_up_name(spp_state &record, heap_text &owner) {
  int rc = lookupReverseDNS(&record.remote_host, record.remote_ip);
  if (rc == NAME_FOUND || rc == 1)
    owner.reset(record.remote_host);
  return rc;
}

bool is_lookup_error(int rc) {
  return rc == LOOKUP_ERROR || rc == INVALID_ARGUMENT;
}

enum class client_name { known, none, unknown, error };

// What the rule's copy of the record says about the client's name, looking
// it up when the record has neither a name nor a status; a name found is
// left in record.remote_host and owned by `owner`.
client_name find_client_name(spp_state &record, heap_text &owner) {
  if (needs_lookup(record)) {
    int rc = look_up_name(record, owner);
    if (is_lookup_error(rc))
      return client_name::error;
    return rc == NAME_FOUND ? client_name::known : client_name::none;
  }
  if (record.rdns_status == RDNS_NO_NAME)
    return client_name::none;
  return record.remote_host ? client_name::known : client_name::unknown;
}

} // namespace

int check_ip_reverse_dns(string_list *, string_list **, spp_state record) {
  if (!record.remote_ip)
    return TEMPFAIL;
  heap_text found;
  switch (find_client_name(record, found)) {
  case client_name::error:
    return TEMPFAIL;
  case client_name::none:
    return HIT;
  default:
    return DUNNO;
  }
}

int check_dynamic_reverse_dns(string_list *, string_list **, spp_state record) {
  if (!record.remote_ip)
    return TEMPFAIL;
  heap_text found;
  switch (find_client_name(record, found)) {
  case client_name::error:
    return TEMPFAIL;
  case client_name::none:
    return HIT;
  case client_name::unknown:
    return DUNNO;
  case client_name::known:
    break;
  }
  return isDSL(record.remote_host) == 1 ? HIT : DUNNO;
}

int check_reverse_dns_list(string_list *, string_list **, spp_state record) {
  if (!record.remote_ip)
    return TEMPFAIL;
  heap_text found;
  switch (find_client_name(record, found)) {
  case client_name::error:
    return TEMPFAIL;
  case client_name::known:
    break;
  default:
    return DUNNO;
  }

  if (!config.reverse_dns_regex_filename) {
    RULE_TRACE(record, LOG_INFO,
               "check_reverse_dns_list(): reverse_dns_regex_filename not set, "
               "ignoring.");
    return DUNNO;
  }
  switch (checkRegexList(config.reverse_dns_regex_filename, record.remote_host,
                         syslog)) {
  case 1:
    return HIT;
  case -1:
    return TEMPFAIL;
  default:
    return DUNNO;
  }
}

int known_sender_forgery(string_list *, string_list **, spp_state) {
  return DUNNO;
}
