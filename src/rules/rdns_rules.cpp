#include "rules/rdns_rules.h"

#include "engine/rule_registry.h"
#include "ksf/known_sender_forgery_funcs.h"
#include "lookup/dns_lookup.h"
#include "lookup/regex_lists.h"
#include "util/plugin_log.h"
#include "util/raii.h"
#include "util/small_files.h"
#include "util/ut_file.h"
#include "util/ut_log.h"
#include "util/ut_rfc.h"

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

// Goes on with the name in record.remote_host.
constexpr int JUDGE_THE_NAME = -1;

// The answer of a reverse-DNS rule that does not depend on the name itself:
// TEMPFAIL without a client address or on a lookup error, `when_no_name`
// when the client has no name, DUNNO when nothing is known; otherwise
// JUDGE_THE_NAME, with the name in the rule's copy of the record (looked up
// when the record has neither a name nor a status; `owner` then owns it).
int answer_before_the_name(spp_state &record, heap_text &owner,
                           int when_no_name) {
  if (!record.remote_ip)
    return TEMPFAIL;
  if (needs_lookup(record)) {
    int rc = look_up_name(record, owner);
    if (is_lookup_error(rc))
      return TEMPFAIL;
    return rc == NAME_FOUND ? JUDGE_THE_NAME : when_no_name;
  }
  if (record.rdns_status == RDNS_NO_NAME)
    return when_no_name;
  return record.remote_host ? JUDGE_THE_NAME : DUNNO;
}

} // namespace

int check_ip_reverse_dns(string_list *, string_list **, spp_state record) {
  heap_text found;
  int answer = answer_before_the_name(record, found, HIT);
  return answer == JUDGE_THE_NAME ? DUNNO : answer;
}

int check_dynamic_reverse_dns(string_list *, string_list **, spp_state record) {
  heap_text found;
  int answer = answer_before_the_name(record, found, HIT);
  if (answer != JUDGE_THE_NAME)
    return answer;
  return isDSL(record.remote_host) == 1 ? HIT : DUNNO;
}

int check_reverse_dns_list(string_list *, string_list **, spp_state record) {
  heap_text found;
  int answer = answer_before_the_name(record, found, DUNNO);
  if (answer != JUDGE_THE_NAME)
    return answer;

  if (!config.reverse_dns_regex_filename) {
    RULE_TRACE(record, LOG_INFO,
               "check_reverse_dns_list(): reverse_dns_regex_filename not set, "
               "ignoring.");
    return DUNNO;
  }
  switch (checkRegexList(config.reverse_dns_regex_filename, record.remote_host,
                         plugin_log)) {
  case 1:
    return HIT;
  case -1:
    return TEMPFAIL;
  default:
    return DUNNO;
  }
}

int known_sender_forgery(string_list *, string_list **, spp_state record) {
  if (!record.mail_from || !*record.mail_from || !record.remote_ip ||
      !*record.remote_ip || !ut_is_ip(record.remote_ip))
    return DUNNO;
  const char *file = config.valid_domain_ips_filename;
  if (!file || !small_file_regular(file))
    return DUNNO;
  const heap_text domain(ksf_parse_mail_from_domain(record.mail_from));
  if (!domain || ksf_check_domain_to_ip_restriction(record.remote_ip,
                                                    domain.get(), file) != 0)
    return DUNNO;
  // Reaches a log only through the library's sink, which the plug-in leaves
  // empty: there the rejection itself is the trace.
  ut_log_info("IP [%s] may not send from domain [%s]%s", record.remote_ip,
              domain.get(), config.ksf_debug == 1 ? " (DEBUG)" : "");
  return config.ksf_debug == 0 ? HIT : DUNNO;
}
