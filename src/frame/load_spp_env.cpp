#include "frame/load_spp_env.h"

#include "util/plugin_log.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

const spp_state empty_state = {};
const char *const state_names[5] = {"INIT", "HELO", "MAIL", "RCPT", "DATA"};

int load_env(const char *key, char **dest) {
  assert(key && dest);
  const char *value = std::getenv(key);
  if (!value)
    return 0;
  char *copy = strdup(value);
  if (!copy)
    return -1;
  *dest = copy;
  return 1;
}

int load_spp_env(spp_state *record) {
  if (!record)
    return -1;
  struct {
    const char *key;
    char **field;
  } const sources[] = {
      {"TCPREMOTEIP", &record->remote_ip},
      {"TCPREMOTEHOST", &record->remote_host},
      {"SMTPHELOHOST", &record->helo},
      {"SMTPMAILFROM", &record->mail_from},
      {"SMTPRCPTTO", &record->rcpt_to},
      {"SMTPAUTHUSER", &record->auth_user},
  };
  for (const auto &source : sources) {
    int rc = load_env(source.key, source.field);
    if (rc < 0)
      return rc;
  }
  return 0;
}

void detect_mua(spp_state *record) {
  if (std::getenv("RELAYCLIENT")) {
    plugin_log(LOG_INFO, "RELAYCLIENT set: assuming MUA->MTA connection.");
    record->mua = 1;
  } else if (record->auth_user && *record->auth_user) {
    plugin_log(LOG_INFO, "AUTH_USER[%s] set: assuming MUA->MTA connection.",
               record->auth_user);
    record->mua = 1;
  }
}

static const char *resolves_label(int32_t value) {
  switch (value) {
  case 1:
    return "YES";
  case 2:
    return "NO";
  default:
    return "UNKNOWN";
  }
}

// glibc prints "(null)" for a null %s argument, but only by grace of its
// printf; the dump spells the absence out itself so it never depends on it.
static const char *shown(const char *text) { return text ? text : "(null)"; }

void dump_state(log_func log, int priority, const spp_state *record) {
  if (!log || !record)
    return;
  const char *end = "";
  const char *state = record->state < 5 ? state_names[record->state] : "(null)";
  log(priority, "== BEGIN STATE STRUCTURE ==%s", end);
  log(priority, "IP[%s] (country: %s)%s", shown(record->remote_ip),
      shown(record->ip_country), end);
  log(priority, "REVERSE_DNS[%s]%s", shown(record->remote_host), end);
  log(priority, "HELO[%s] (country: %s) (resolves: %s)%s", shown(record->helo),
      shown(record->helo_country), resolves_label(record->helo_resolves), end);
  log(priority, "MAIL[%s] (country: %s) (resolves: %s)%s",
      shown(record->mail_from), shown(record->mail_country),
      resolves_label(record->mail_resolves), end);
  log(priority, "RCPT[%s]%s", shown(record->rcpt_to), end);
  log(priority, "AUTH[%s]%s", shown(record->auth_user), end);
  log(priority, "RFC[%d]%s", record->rfc, end);
  log(priority, "MUA->MTA[%d]%s", record->mua, end);
  log(priority, "STATE[%s]%s", state, end);
  log(LOG_DEBUG, "=== END STATE STRUCTURE ===%s", end);
}

void free_state(spp_state *record) {
  if (!record)
    return;
  char *texts[] = {
      record->remote_ip,  record->remote_host,  record->helo,
      record->mail_from,  record->rcpt_to,      record->auth_user,
      record->ip_country, record->helo_country, record->mail_country};
  for (char *text : texts)
    std::free(text);
  *record = empty_state;
}
