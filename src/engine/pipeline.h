// pipeline: the decision on one SMTP command.
//
// Three stages in a fixed order, the first that answers ends the run:
// exemption lists (exempt_ips, exempt_users, from_whitelist), block lists
// (blocked_ips, blocked_from), then the enabled rules in table order. A
// rejection is handed to the frame's output callback as a composed notice.
// Every run counts itself once, appends its summary to the transaction log
// and returns it.
//
//   engine_check(output, ctx, handle, record)  a check_result owned by the
//       caller (free_result), or null when it cannot be allocated (then
//       nothing is logged, counted or written).
//   check_exemptions / check_blacklists / check_rules  1 when the stage
//       answered, else 0.
//   join_list(list)  a heap text of the list's present texts joined by ",".
//   engine_dry_run   false in the plug-in; set (by `corvane-admin try`), a
//       run is judged and traced as ever but neither counted nor appended to
//       the transaction log.
#pragma once

#include "engine/rule_registry.h"
#include "engine/string_list.h"
#include "frame/load_spp_env.h"

#include <cstdint>

enum check_status : int32_t {
  STATUS_HAM = 0,
  STATUS_SPAM = 1,
  STATUS_IP_EXEMPT = 2,
  STATUS_RCPT_EXEMPT = 3,
  STATUS_FROM_WHITELIST = 4,
  STATUS_ERROR = 5,
};

struct check_result {
  int32_t status;
  int32_t rejected;
  int32_t notice_id;
  char *detail;
  char *summary;
};

// Receives the lines of a rejection notice; the frame's print_verdict.
using verdict_output = int (*)(string_list *lines, void *context);

extern bool engine_dry_run;
extern const char *const status_names[6];
extern const char *const outcome_labels[3];

check_result *engine_check(verdict_output output, void *context,
                           engine_handle handle, spp_state record);
int check_exemptions(check_result *result, engine_handle handle,
                     spp_state record);
int check_blacklists(check_result *result, engine_handle handle,
                     spp_state record);
int check_rules(check_result *result, engine_handle handle, spp_state record);
char *join_list(const string_list *list);
void free_result(check_result *result);
