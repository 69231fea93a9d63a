// rule_registry: the ordered table of named rules, the administrator's
// overrides and the engine handle that the pipeline and display read.
//
//   builtin_rules            the eleven rules as shipped, in the order the
//                            pipeline runs them, ended by a row whose name
//                            is absent.
//   corvane_init(&h, log)    fills h: both rule tables (shipped defaults and
//                            the table with rules.enabled/rules.disabled
//                            applied), the enabled IPR list names, and the
//                            process-wide `config`; returns &h. A table that
//                            cannot be allocated is logged and left absent:
//                            the pipeline then runs no rule and the display
//                            shows an empty ruleset.
//   apply_rule_toggles(&h)   0; rules.disabled wins over rules.enabled.
//   corvane_free(&h)         releases what corvane_init took.
#pragma once

#include "engine/string_list.h"
#include "rules/rule_check.h"
#include "util/log_func.h"

#include <cstdint>

enum rule_state : uint8_t {
  RULE_DISABLED = 0,
  RULE_ENABLED = 1,
  RULE_ALWAYS_ON = 2
};
enum rule_kind : uint8_t { RECORD_CHECK = 1, LIST_CHECK = 5 };

struct rule_desc {
  const char *name;
  uint8_t state;
  uint8_t mua_ok;
  int32_t notice_id;
  uint8_t kind;
  rule_check_func check;
};

struct engine_handle {
  rule_desc *default_rules;
  rule_desc *enabled_rules;
  string_list *ipr_lists;
  void *reserved;
  log_func logger;
};

struct corvane_config {
  const char *ipr_cache_dir;
  const char *dsl_regex_filename;
  const char *reverse_dns_regex_filename;
  const char *valid_domain_ips_filename;
  int ksf_debug;
};

extern corvane_config config;
extern const rule_desc builtin_rules[];

engine_handle *corvane_init(engine_handle *handle_out, log_func logger);
int apply_rule_toggles(engine_handle *handle);
void corvane_free(engine_handle *handle);
