#include "rules/address_rules.h"

int block_lists(string_list *, string_list **, spp_state) { return DUNNO; }

int block_ip_in_addr(string_list *, string_list **, spp_state) {
  return DUNNO;
}

int require_full_addr(string_list *, string_list **, spp_state) {
  return DUNNO;
}

int valid_from_domain(string_list *, string_list **, spp_state) {
  return DUNNO;
}
