#include "engine/rule_registry.h"

#include "engine/list_files.h"
#include "rules/address_rules.h"
#include "rules/helo_rules.h"
#include "rules/rdns_rules.h"

#include <cstdlib>
#include <cstring>
#include <syslog.h>

corvane_config config;

const rule_desc builtin_rules[] = {
    {"block_lists", RULE_ENABLED, 0, 44, LIST_CHECK, block_lists},
    {"block_ip_in_addr", RULE_ENABLED, 1, 19, RECORD_CHECK, block_ip_in_addr},
    {"check_ip_reverse_dns", RULE_ENABLED, 0, 25, RECORD_CHECK,
     check_ip_reverse_dns},
    {"check_dynamic_reverse_dns", RULE_ENABLED, 0, 42, RECORD_CHECK,
     check_dynamic_reverse_dns},
    {"check_reverse_dns_list", RULE_ENABLED, 0, 43, RECORD_CHECK,
     check_reverse_dns_list},
    {"resolve_helo_domain", RULE_DISABLED, 0, 23, RECORD_CHECK,
     resolve_helo_domain},
    {"require_full_addr", RULE_ENABLED, 1, 17, RECORD_CHECK, require_full_addr},
    {"require_helo", RULE_ENABLED, 1, 21, RECORD_CHECK, require_helo},
    {"valid_from_domain", RULE_DISABLED, 0, 2, RECORD_CHECK, valid_from_domain},
    {"valid_helo_domain", RULE_ENABLED, 0, 22, RECORD_CHECK, valid_helo_domain},
    {"known_sender_forgery", RULE_DISABLED, 1, 46, RECORD_CHECK,
     known_sender_forgery},
    {nullptr, RULE_DISABLED, 0, 0, 0, nullptr},
};

namespace {

rule_desc *copy_builtin_rules() {
  constexpr size_t size = sizeof(builtin_rules);
  auto *table = static_cast<rule_desc *>(std::malloc(size));
  if (table)
    std::memcpy(table, builtin_rules, size);
  return table;
}

int times_named(const string_list *names, const char *rule) {
  int count = 0;
  for (const string_list *n = names; n; n = n->next)
    if (n->value && std::strcmp(n->value, rule) == 0)
      ++count;
  return count;
}

} // namespace

engine_handle *corvane_init(engine_handle *handle_out, log_func logger) {
  *handle_out = engine_handle{};
  handle_out->logger = logger;

  config = corvane_config{};
  config.ipr_cache_dir = "/var/cache/ipr";
  config.dsl_regex_filename = "/etc/corvane/dynaregex/dyna.regexes";
  config.reverse_dns_regex_filename = "/etc/corvane/dynaregex/spam.regexes";
  config.valid_domain_ips_filename = "/etc/corvane/control/valid_domain_ips";

  handle_out->enabled_rules = copy_builtin_rules();
  if (!handle_out->enabled_rules && logger)
    logger(LOG_ERR, "corvane_init(): Couldn't allocate space for "
                    "enabled_rules structure.");
  handle_out->default_rules = copy_builtin_rules();
  if (!handle_out->default_rules && logger)
    logger(LOG_ERR, "corvane_init(): Couldn't allocate space for "
                    "disabled_rules structure.");
  apply_rule_toggles(handle_out);
  return handle_out;
}

int apply_rule_toggles(engine_handle *handle) {
  handle->ipr_lists = read_ipr_lists(0);
  string_list *enable = read_enabled_rules();
  string_list *disable = read_disabled_rules();
  for (rule_desc *rule = handle->enabled_rules; rule && rule->name; ++rule) {
    if (rule->state == RULE_DISABLED) {
      for (int n = times_named(enable, rule->name); n > 0; --n) {
        if (handle->logger)
          handle->logger(LOG_DEBUG, "ENABLING [%s]", rule->name);
        rule->state = RULE_ENABLED;
      }
      if (rule->state == RULE_DISABLED)
        continue;
    }
    for (int n = times_named(disable, rule->name); n > 0; --n) {
      if (handle->logger)
        handle->logger(LOG_DEBUG, "DISABLING [%s]", rule->name);
      rule->state = RULE_DISABLED;
    }
  }
  string_list_free(&enable);
  string_list_free(&disable);
  return 0;
}

void corvane_free(engine_handle *handle) {
  if (!handle)
    return;
  std::free(handle->enabled_rules);
  std::free(handle->default_rules);
  string_list_free(&handle->ipr_lists);
  handle->enabled_rules = nullptr;
  handle->default_rules = nullptr;
  handle->logger = nullptr;
}
