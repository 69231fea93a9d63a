// rule_check: the outcome and calling form shared by every rule check.
//
// A check receives the enabled IPR list names, a list that collects the
// names of the lists that matched (both absent for a record check) and the
// record by value, and answers DUNNO (no objection), HIT (reject with the
// rule's notice) or TEMPFAIL (no decision; treated like DUNNO).
#pragma once

#include "engine/string_list.h"
#include "frame/load_spp_env.h"

enum rule_outcome { DUNNO = 0, HIT = 1, TEMPFAIL = 2 };

// A trace line through the record's logger, when one is set.
#define RULE_TRACE(record, priority, ...)                                      \
  do {                                                                         \
    if ((record).logger)                                                       \
      (record).logger((priority), __VA_ARGS__);                                \
  } while (0)

using rule_check_func = int (*)(string_list *ipr_lists, string_list **matches,
                                spp_state record);
