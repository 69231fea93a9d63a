#include "engine/pipeline.h"

#include "engine/counters.h"
#include "engine/list_files.h"
#include "frame/verdict.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

constinit bool engine_dry_run = false;

const char *const status_names[6] = {
    "HAM", "SPAM", "IP_EXEMPT", "RCPT_EXEMPT", "FROM_WHITELIST", "ERROR"};
const char *const outcome_labels[3] = {"DUNNO", "HIT", "TEMPFAIL"};

#define TRACE(handle, ...)                                                     \
  do {                                                                         \
    if ((handle).logger)                                                       \
      (handle).logger(LOG_DEBUG, __VA_ARGS__);                                 \
  } while (0)

namespace {

const char *shown(const char *text) { return text ? text : "(null)"; }

const char *outcome_label(int outcome) {
  return outcome >= DUNNO && outcome <= TEMPFAIL ? outcome_labels[outcome]
                                                 : "<UNKNOWN>";
}

void count_run(counter_kind kind) {
  if (!engine_dry_run)
    update_counter(kind);
}

char *rule_detail(const rule_desc &rule, const string_list *matches) {
  if (rule.kind != LIST_CHECK)
    return strdup(rule.name);
  char *joined = join_list(matches);
  char *detail = nullptr;
  if (joined && asprintf(&detail, "%s:%s", rule.name, joined) < 0)
    detail = nullptr;
  std::free(joined);
  return detail;
}

void set_detail(check_result *result, const char *detail) {
  std::free(result->detail);
  result->detail = strdup(detail);
}

char *build_summary(const check_result &result, const spp_state &record) {
  const bool spam = result.status == STATUS_SPAM;
  const char *status =
      result.status >= STATUS_HAM && result.status <= STATUS_ERROR
          ? status_names[result.status]
          : "(null)";
  char *summary = nullptr;
  if (asprintf(&summary,
               "%s%s%s%s: mua=%d,ip=[%s:%s],helo=<%s>,from=<%s>,rcpt=<%s>",
               status, spam ? "[" : "", spam ? shown(result.detail) : "",
               spam ? "]" : "", record.mua, shown(record.remote_ip),
               shown(record.remote_host), shown(record.helo),
               shown(record.mail_from), shown(record.rcpt_to)) < 0)
    return nullptr;
  return summary;
}

} // namespace

check_result *engine_check(verdict_output output, void *context,
                           engine_handle handle, spp_state record) {
  auto *result =
      static_cast<check_result *>(std::calloc(1, sizeof(check_result)));
  if (!result)
    return nullptr;
  if (check_exemptions(result, handle, record)) {
    result->rejected = 0;
  } else if (check_blacklists(result, handle, record) ||
             check_rules(result, handle, record)) {
    if (output)
      (void)emit_notice(result->notice_id, output, context, record);
    result->rejected = 1;
  } else {
    result->status = STATUS_HAM;
    result->rejected = 0;
  }
  result->summary = build_summary(*result, record);
  if (!engine_dry_run)
    write_translog(TRANSLOG_PATH, result->summary);
  return result;
}

int check_exemptions(check_result *result, engine_handle handle,
                     spp_state record) {
  TRACE(handle, "Checking exemption lists...");
  static const struct {
    int list;
    check_status status;
  } exemptions[] = {
      {EXEMPT_IPS, STATUS_IP_EXEMPT},
      {EXEMPT_USERS, STATUS_RCPT_EXEMPT},
      {FROM_WHITELIST, STATUS_FROM_WHITELIST},
  };
  for (const auto &exemption : exemptions) {
    if (match_exemption_list(exemption.list, record)) {
      result->status = exemption.status;
      count_run(COUNT_EXEMPT);
      return 1;
    }
  }
  return 0;
}

int check_blacklists(check_result *result, engine_handle handle,
                     spp_state record) {
  TRACE(handle, "Checking black lists...");
  bool matched = false;
  if (match_exemption_list(BLOCKED_IPS, record)) {
    result->notice_id = 40;
    set_detail(result, "ip_blacklist");
    matched = true;
  }
  if (match_exemption_list(BLOCKED_FROM, record)) {
    result->notice_id = 28;
    set_detail(result, "from_blacklist");
    matched = true;
  }
  if (!matched)
    return 0;
  result->status = STATUS_SPAM;
  result->rejected = 1;
  count_run(COUNT_SPAM);
  return 1;
}

int check_rules(check_result *result, engine_handle handle, spp_state record) {
  TRACE(handle, "Checking rules...");
  for (const rule_desc *rule = handle.enabled_rules; rule && rule->name;
       ++rule) {
    if (rule->state == RULE_DISABLED) {
      TRACE(handle, "NOT CHECKING: '%s': disabled", rule->name);
      continue;
    }
    if (record.mua == 1 && rule->mua_ok == 0) {
      TRACE(handle,
            "Skipping rule '%s' because remote system appears to be MUA.",
            rule->name);
      continue;
    }
    string_list *matches = nullptr;
    int outcome;
    if (!rule->check) {
      outcome = DUNNO;
    } else if (rule->kind == LIST_CHECK) {
      outcome = rule->check(handle.ipr_lists, &matches, record);
    } else {
      if (std::strcmp(rule->name, "valid_from_domain") == 0 &&
          (!record.mail_from || !*record.mail_from)) {
        TRACE(handle, "Skipping rule '%s' because message appears to be NDR",
              rule->name);
        continue;
      }
      outcome = rule->check(nullptr, nullptr, record);
    }
    TRACE(handle, "Checking '%s': %s", rule->name, outcome_label(outcome));
    if (outcome == HIT) {
      result->status = STATUS_SPAM;
      result->rejected = 1;
      result->notice_id = rule->notice_id;
      std::free(result->detail);
      result->detail = rule_detail(*rule, matches);
      string_list_clear(&matches);
      count_run(COUNT_SPAM);
      return 1;
    }
    string_list_clear(&matches);
  }
  count_run(COUNT_HAM);
  return 0;
}

char *join_list(const string_list *list) {
  size_t length = 1;
  size_t present = 0;
  for (const string_list *n = list; n; n = n->next) {
    if (n->value) {
      length += std::strlen(n->value);
      ++present;
    }
  }
  if (present > 1)
    length += present - 1;
  auto *joined = static_cast<char *>(std::calloc(length, 1));
  if (!joined)
    return nullptr;
  char *end = joined;
  for (const string_list *n = list; n; n = n->next) {
    if (!n->value)
      continue;
    if (end != joined)
      *end++ = ',';
    size_t len = std::strlen(n->value);
    std::memcpy(end, n->value, len);
    end += len;
  }
  return joined;
}

void free_result(check_result *result) {
  if (!result)
    return;
  std::free(result->detail);
  std::free(result->summary);
  std::free(result);
}
