#include "rules/helo_rules.h"

int require_helo(string_list *, string_list **, spp_state) { return DUNNO; }

int valid_helo_domain(string_list *, string_list **, spp_state) {
  return DUNNO;
}

int resolve_helo_domain(string_list *, string_list **, spp_state) {
  return DUNNO;
}
