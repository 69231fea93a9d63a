// rdns_rules: the checks that judge the client's reverse-DNS name and the
// sender's right to use its domain from the client's address.
//
//   check_ip_reverse_dns        the client must have a reverse-DNS name.
//   check_dynamic_reverse_dns   the name must not look dynamically assigned.
//   check_reverse_dns_list      the name must not match the spam patterns.
//   known_sender_forgery        the sender's domain must not be restricted
//                               to other networks.
//
// Not built yet: each answers DUNNO, so these rules never reject.
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
