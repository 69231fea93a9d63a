#include "rules/catalogue.h"

#include "rules/product.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace {

// One formatting step of an accessor; `accessor` names it in the log line.
__attribute__((format(printf, 3, 4))) char *format_text(const char *accessor,
                                                        const spp_state &record,
                                                        const char *format,
                                                        ...) {
  char *text = nullptr;
  va_list args;
  va_start(args, format);
  int rc = vasprintf(&text, format, args);
  va_end(args);
  if (rc < 0) {
    if (record.logger)
      record.logger(LOG_ERR, "%s(): asprintf() failed, out of memory?",
                    accessor);
    return nullptr;
  }
  return text;
}

const char *party(const char *system_name) {
  return system_name ? system_name : "system";
}

const char *client_ip(const spp_state &record) {
  return record.remote_ip ? record.remote_ip : "(null)";
}

} // namespace

#define REJECTION_DEFAULT(text)                                                \
  format_text(__func__, record, "%s", DEFAULT_REJECTION_TEXT)
#define REJECTION_FIXED(text) format_text(__func__, record, "%s", text)
#define REJECTION_SYS(text)                                                    \
  format_text(__func__, record, text, party(system_name))
#define REJECTION_SYS_IP(text)                                                 \
  format_text(__func__, record, text, party(system_name), client_ip(record))
#define REJECTION_IP(text)                                                     \
  format_text(__func__, record, text, client_ip(record))
#define URL_PATTERN(rule, path)                                                \
  format_text(__func__, record, "%s/best_practices/%s.html", CORVANE_SITE,     \
              #rule)
#define URL_PATH(rule, path)                                                   \
  format_text(__func__, record, "%s%s", CORVANE_SITE, path)

#define DEFINE_NOTICE(rule, reason_kind, reason, url_kind, path)               \
  char *rule##_rejection([[maybe_unused]] const char *system_name,             \
                         spp_state record) {                                   \
    return REJECTION_##reason_kind(reason);                                    \
  }                                                                            \
  char *rule##_url(const char *, spp_state record) {                           \
    return URL_##url_kind(rule, path);                                         \
  }
CORVANE_NOTICES(DEFINE_NOTICE)

#define LIST_REJECTION(rule, ...) rule##_rejection,
#define LIST_URL(rule, ...) rule##_url,
const notice_accessor notice_funcs[NOTICE_COUNT + 1] = {
    CORVANE_NOTICES(LIST_REJECTION) nullptr};
const notice_accessor url_funcs[NOTICE_COUNT + 1] = {
    CORVANE_NOTICES(LIST_URL) nullptr};

#define COUNT_ENTRY(...) +1
static_assert(0 CORVANE_NOTICES(COUNT_ENTRY) == NOTICE_COUNT,
              "every notice id needs exactly one catalogue entry");
