#include "rules/rdns_rules.h"

int check_ip_reverse_dns(string_list *, string_list **, spp_state) {
  return DUNNO;
}

int check_dynamic_reverse_dns(string_list *, string_list **, spp_state) {
  return DUNNO;
}

int check_reverse_dns_list(string_list *, string_list **, spp_state) {
  return DUNNO;
}

int known_sender_forgery(string_list *, string_list **, spp_state) {
  return DUNNO;
}
