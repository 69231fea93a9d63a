// helo_rules: the checks that judge the HELO/EHLO name, the record's `helo`.
//
//   require_helo          a HELO must have been given. HIT when `helo` is
//                         absent ("require_helo: HELO is null"); an empty
//                         name passes.
//   valid_helo_domain     the name must look like a host name: HIT when it
//                         is absent, empty, "localhost" or
//                         "localhost.localdomain", holds a byte other than
//                         ASCII letters, digits, "-", ".", "[" and "]",
//                         two dots in a row, no dot, is a dotted-quad IP
//                         address, bare or in brackets, or starts with a
//                         dot; otherwise DUNNO.
//   resolve_helo_domain   the name must exist in the DNS: TEMPFAIL for an
//                         absent name, DUNNO for an empty one or an IP
//                         address (no query); HIT when lookupDomain finds
//                         neither an A nor an MX record (a DNS failure
//                         counts as missing), or when `helo_resolves` is 2.
//
// The three are record checks: the list arguments are ignored. Trace lines
// go to the record's logger, when one is set, at LOG_DEBUG (the reason for
// a HIT), LOG_INFO and LOG_ERR.
#pragma once

#include "rules/rule_check.h"

int require_helo(string_list *ipr_lists, string_list **matches,
                 spp_state record);
int valid_helo_domain(string_list *ipr_lists, string_list **matches,
                      spp_state record);
int resolve_helo_domain(string_list *ipr_lists, string_list **matches,
                        spp_state record);
