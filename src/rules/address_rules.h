// address_rules: the checks that judge the client IP and the envelope.
//
//   block_lists         the client IP must not be in an enabled IPR list
//                       (a list check: matched list names go to `matches`).
//   block_ip_in_addr    sender and recipient must not use an IP as domain.
//   require_full_addr   the recipient must be a complete address.
//   valid_from_domain   the sender's domain must exist in the DNS.
//
// Not built yet: each answers DUNNO, so these rules never reject.
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
