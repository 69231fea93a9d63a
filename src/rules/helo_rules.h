// helo_rules: the checks that judge the HELO/EHLO name.
//
//   require_helo          a HELO must have been given.
//   valid_helo_domain     the name must look like a host name.
//   resolve_helo_domain   the name must exist in the DNS.
//
// Not built yet: each answers DUNNO, so these rules never reject.
#pragma once

#include "rules/rule_check.h"

int require_helo(string_list *ipr_lists, string_list **matches,
                 spp_state record);
int valid_helo_domain(string_list *ipr_lists, string_list **matches,
                      spp_state record);
int resolve_helo_domain(string_list *ipr_lists, string_list **matches,
                        spp_state record);
