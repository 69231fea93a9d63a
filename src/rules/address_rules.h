// address_rules: the checks that judge the client IP and the envelope.
//
//   block_lists         the client IP must not be in an enabled IPR list. A
//                       list check: looks `remote_ip` up in the map of every
//                       name in `ipr_lists` (checkList, mode 2) and appends
//                       the names of the lists that hold it to `matches`,
//                       in list order. HIT when at least one does; DUNNO
//                       with no enabled list, a missing or corrupt map, or
//                       no client IP ("block_lists(): null argument(s)
//                       passed, failing open.").
//   block_ip_in_addr    HIT when the domain part (the text after the last
//                       "@") of the sender, or else of the recipient, is a
//                       dotted-quad IP address; a bracketed literal is not.
//                       DUNNO when either address is absent or the sender
//                       has no "@".
//   require_full_addr   HIT when the recipient is absent, has no "@", starts
//                       with its first "@" or ends with it.
//   valid_from_domain   the sender's domain must exist in the DNS: TEMPFAIL
//                       for an absent sender; HIT when `mail_resolves` is 2,
//                       DUNNO when it is 1; otherwise HIT for a sender
//                       without "@" or with an empty domain, DUNNO for an
//                       IP address as domain (no query), and HIT when
//                       lookupDomain finds neither an A nor an MX record (a
//                       DNS failure counts as missing).
//
// Trace lines go to the record's logger, when one is set.
#pragma once

#include "rules/rule_check.h"

int block_lists(string_list *ipr_lists, string_list **matches,
                spp_state record);
int block_ip_in_addr(string_list *ipr_lists, string_list **matches,
                     spp_state record);
int require_full_addr(string_list *ipr_lists, string_list **matches,
                      spp_state record);
int valid_from_domain(string_list *ipr_lists, string_list **matches,
                      spp_state record);
