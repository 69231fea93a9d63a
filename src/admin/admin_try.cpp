#include "admin/admin_try.h"

#include "admin/admin_user.h"
#include "engine/pipeline.h"
#include "frame/load_spp_env.h"
#include "frame/verdict.h"
#include "util/plugin_log.h"
#include "util/printable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

const char ADMIN_TRY_USAGE[] =
    "  corvane-admin try [--ip IP] [--host NAME] [--helo NAME] [--from ADDR]\n"
    "      [--rcpt ADDR] [--relay] [--auth USER] [--user U]\n"
    "                                       judge one SMTP command as "
    "corvane-spp\n"
    "                                       does, with its trace; writes "
    "nothing\n";

namespace {

// The options that stand for qmail-smtpd's variables; --relay takes no
// value (RELAYCLIENT is set, empty, as for a relay client).
const struct {
  const char *option, *variable;
} facts[] = {
    {"--ip", "TCPREMOTEIP"},    {"--host", "TCPREMOTEHOST"},
    {"--helo", "SMTPHELOHOST"}, {"--from", "SMTPMAILFROM"},
    {"--rcpt", "SMTPRCPTTO"},   {"--auth", "SMTPAUTHUSER"},
    {"--relay", "RELAYCLIENT"}, {"--user", nullptr},
};

const char *const priority_names[] = {"emerg",   "alert",  "crit", "err",
                                      "warning", "notice", "info", "debug"};

void print_log_line(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));

void print_log_line(int priority, const char *format, va_list args) {
  char *text = nullptr;
  if (vasprintf(&text, format, args) < 0)
    return;
  make_printable(text);
  std::printf("%s: %s\n", priority_names[LOG_PRI(priority)], text);
  std::free(text);
}

struct parsed {
  std::vector<std::pair<const char *, std::string>> environment;
  const char *user = nullptr;
};

// The words after "try" as facts; false with a message for a wrong one.
bool parse_facts(const admin_context &context, parsed &out, std::string &why) {
  const auto &args = context.args;
  for (size_t i = 0; i < args.size(); ++i) {
    const char *word = args[i];
    const char *equals = std::strchr(word, '=');
    const size_t name_length = equals ? size_t(equals - word) : strlen(word);
    const auto *fact =
        std::find_if(std::begin(facts), std::end(facts), [&](const auto &f) {
          return std::strlen(f.option) == name_length &&
                 std::strncmp(f.option, word, name_length) == 0;
        });
    if (fact == std::end(facts)) {
      why = std::string("unknown word '") + word + "'";
      return false;
    }
    const bool flag = std::strcmp(fact->option, "--relay") == 0;
    const char *value = "";
    if (equals)
      value = equals + 1;
    else if (!flag && i + 1 < args.size())
      value = args[++i];
    else if (!flag) {
      why = std::string(fact->option) + " needs a value";
      return false;
    }
    if (flag && equals) {
      why = "--relay takes no value";
      return false;
    }
    if (fact->variable)
      out.environment.emplace_back(fact->variable, value);
    else
      out.user = value;
  }
  return true;
}

int collect_lines(string_list *lines, void *context) {
  auto *kept = static_cast<std::vector<std::string> *>(context);
  for (const string_list *n = lines; n; n = n->next)
    kept->emplace_back(n->value ? n->value : "");
  return 0;
}

// The notice as qmail-smtpd sends it to the client, then the lines
// corvane-spp writes for it on its standard output, last.
void print_reply(std::vector<std::string> &lines) {
  std::printf("reply sent to the client:\n");
  for (const std::string &line : lines) {
    std::string shown = line;
    if (!shown.empty() && shown.back() == '\n')
      shown.pop_back();
    std::printf("  %s\n", printable(shown).c_str());
  }
  std::printf("verdict: rejected; corvane-spp writes:\n");
  string_list *borrowed = nullptr;
  for (std::string &line : lines)
    if (string_list_append(&borrowed, line.data()) != 0)
      break;
  (void)print_verdict(borrowed, nullptr);
  string_list_clear(&borrowed);
}

int judge(engine_handle handle) {
  spp_state record = empty_state;
  record.state = STATE_RCPT;
  const int rc = load_spp_env(&record);
  if (rc != 0) {
    free_state(&record);
    return admin_fail("the facts cannot be loaded (out of memory)");
  }
  detect_mua(&record);
  dump_state(plugin_log, LOG_DEBUG, &record);
  std::vector<std::string> lines;
  check_result *result = engine_check(collect_lines, &lines, handle, record);
  free_state(&record);
  if (!result)
    return admin_fail("the engine could not run (out of memory)");
  make_printable(result->summary);
  plugin_log(LOG_INFO, "%s", result->summary ? result->summary : "(null)");
  if (result->rejected == 1)
    print_reply(lines);
  else
    std::printf("verdict: accepted; corvane-spp writes nothing\n");
  free_result(result);
  return ADMIN_OK;
}

} // namespace

int admin_try(const admin_context &context) {
  parsed facts_given;
  std::string why;
  if (!parse_facts(context, facts_given, why))
    return admin_usage_error(ADMIN_TRY_USAGE, "try: %s", why.c_str());
  std::string user;
  switch (become_plugin_user(facts_given.user, user)) {
  case USER_BECOME:
    break;
  case USER_MISSING:
    if (facts_given.user)
      return admin_fail("try: no user '%s'", facts_given.user);
    admin_warn("no user %s here: judging as the user running corvane-admin",
               PLUGIN_DEFAULT_USER);
    break;
  case USER_REFUSED:
    return admin_fail("try: cannot become user %s: %s", user.c_str(),
                      std::strerror(errno));
  }
  if (clearenv() != 0)
    return admin_fail("try: cannot clear the environment");
  for (const auto &[variable, value] : facts_given.environment)
    if (setenv(variable, value.c_str(), 1) != 0)
      return admin_fail("try: cannot set %s: %s", variable,
                        std::strerror(errno));
  plugin_log_route(print_log_line);
  engine_dry_run = true;
  engine_handle handle;
  corvane_init(&handle, plugin_log);
  const int status = judge(handle);
  corvane_free(&handle);
  return status;
}
