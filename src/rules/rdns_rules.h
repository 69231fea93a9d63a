// rdns_rules: the checks that judge the client's reverse-DNS name and the
// sender's right to use its domain from the client's address.
//
//   check_ip_reverse_dns        the client must have a reverse-DNS name.
//                               HIT when it has none (the lookup says so,
//                               or rdns_status is 2); a name given by the
//                               SMTP front end, even an empty one, passes.
//   check_dynamic_reverse_dns   the name must not look dynamically assigned
//                               (isDSL). HIT also when a lookup finds no
//                               name, or rdns_status is 2.
//   check_reverse_dns_list      the name must not match a pattern of
//                               config.reverse_dns_regex_filename. A client
//                               without a name passes; an unreadable file
//                               or a broken pattern without a match gives
//                               TEMPFAIL.
//   known_sender_forgery        the sender's domain must not be restricted
//                               to other networks by the first line of
//                               config.valid_domain_ips_filename
//                               (known_sender_forgery_funcs). Passes a
//                               bounce, a client address that ut_is_ip
//                               refuses, a missing file and every error.
//                               On a forgery it reports "IP [..] may not
//                               send from domain [..]" to the library's sink
//                               and HITs; with config.ksf_debug 1 it only
//                               reports (with " (DEBUG)") and passes.
//
// Each answers DUNNO, HIT or TEMPFAIL (rule_check.h). The three reverse-DNS
// rules answer TEMPFAIL without a client address and on a lookup error
// (lookupReverseDNS 2 or 666). A lookup is made only when the record holds
// no name (remote_host absent) and rdns_status is 0; lookupReverseDNS tries
// TCPREMOTEHOST before the resolver. A name found that way lives in the
// rule's copy of the record and is released before the rule returns, so the
// next rule looks again.
#pragma once

#include "rules/rule_check.h"

int check_ip_reverse_dns(string_list *ipr_lists, string_list **matches,
                         spp_state record);
int check_dynamic_reverse_dns(string_list *ipr_lists, string_list **matches,
                              spp_state record);
int check_reverse_dns_list(string_list *ipr_lists, string_list **matches,
                           spp_state record);
int known_sender_forgery(string_list *ipr_lists, string_list **matches,
                         spp_state record);
