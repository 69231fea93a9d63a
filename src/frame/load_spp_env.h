// load_spp_env: the record of one SMTP command, built from the environment
// that qmail-smtpd hands to its plug-ins.
//
//   load_env(key, dest)     1 copied the variable into *dest; 0 not set
//                           (*dest untouched); -1 out of memory.
//   load_spp_env(record)    0 when the six variables were read (any may be
//                           missing); the first negative load_env result,
//                           or -1 for a missing record.
//   detect_mua(record)      sets `mua` for RELAYCLIENT or an AUTH user.
//   dump_state(log, prio, record)  eleven trace lines describing the record.
//   free_state(record)      releases the texts; the record becomes empty.
//
// The record is passed by value to the engine and to every check: a check
// that changes its copy changes nothing for the next one.
#pragma once

#include "util/log_func.h"

#include <cstdint>

struct spp_state {
  char *remote_ip;
  char *remote_host;
  char *helo;
  char *mail_from;
  char *rcpt_to;
  char *auth_user;
  char *ip_country;
  char *helo_country;
  char *mail_country;
  int32_t rfc;
  int32_t mua;
  uint32_t state;
  int32_t helo_resolves;
  int32_t mail_resolves;
  int32_t rdns_status;
  log_func logger;
};

enum spp_protocol_state : uint32_t {
  STATE_INIT = 0,
  STATE_HELO = 1,
  STATE_MAIL = 2,
  STATE_RCPT = 3,
  STATE_DATA = 4,
};

extern const spp_state empty_state;
extern const char *const state_names[5];

int load_env(const char *key, char **dest);
int load_spp_env(spp_state *record);
void detect_mua(spp_state *record);
void dump_state(log_func log, int priority, const spp_state *record);
void free_state(spp_state *record);
