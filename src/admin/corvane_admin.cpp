// corvane-admin: the administrator's command for corvane-spp: the five
// exemption and block lists, the rule and IP-reputation switches, the
// custom rejection notices, the known senders, the per-day counters and the
// set-up of a host; and, as the plug-in's user, a dry run of one SMTP
// command (try) and a check of every file the plug-in reads (check). It
// calls the same operations that the plug-in's modules define, so a change
// takes effect with the next SMTP command.
//
// Options, anywhere before "--": --force (accept a doubtful list entry or
// notice text), --json (stats as JSON), --help or -h (the usage of the command
// named, else of all). Other options after the name of try or check are
// theirs. Exit status: 0 done, 1 a change refused or failed (the reason on
// stderr, the files left as they were), check found an error, or a report
// could not be written on stdout, 2 a usage error.
//
// Whatever umask it is started with, corvane-admin creates files 0644 and
// folders 0755: the plug-in runs as qmail-smtpd's user and must read them.
// A file it rewrites keeps its own mode.

#include "admin/admin_check.h"
#include "admin/admin_cli.h"
#include "admin/admin_lists.h"
#include "admin/admin_notice.h"
#include "admin/admin_senders.h"
#include "admin/admin_setup.h"
#include "admin/admin_stats.h"
#include "admin/admin_toggles.h"
#include "admin/admin_try.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <sys/stat.h>
#include <syslog.h>
#include <vector>

namespace {

const admin_command commands[] = {
    {"list", ADMIN_LIST_USAGE, admin_list, false},
    {"rules", ADMIN_RULES_USAGE, admin_rules, false},
    {"ipr", ADMIN_IPR_USAGE, admin_ipr, false},
    {"notice", ADMIN_NOTICE_USAGE, admin_notice, false},
    {"stats", ADMIN_STATS_USAGE, admin_stats, false},
    {"senders", ADMIN_SENDERS_USAGE, admin_senders, false},
    {"setup", ADMIN_SETUP_USAGE, admin_setup, false},
    {"try", ADMIN_TRY_USAGE, admin_try, true},
    {"check", ADMIN_CHECK_USAGE, admin_check, true},
    {nullptr, nullptr, nullptr, false},
};

constexpr const char *USAGE_HEAD =
    "Usage: corvane-admin [--force] COMMAND ...\n\n"
    "Changes the lists, switches and notices of corvane-spp; a change takes\n"
    "effect with the next SMTP command.\n\n";

constexpr const char *USAGE_TAIL =
    "\nOptions (anywhere before --):\n"
    "  --force     add a list entry or store a notice text that the plug-in\n"
    "              would pass over or that would break its reply\n"
    "  --json      stats as one JSON object\n"
    "  --help, -h  this text, or the usage of the command named\n"
    "  --          ends the options\n\n"
    "Exit status: 0 done, 1 refused or failed (reason on stderr) or check\n"
    "found an error, 2 usage error.\n";

void print_usage(std::FILE *stream) {
  std::fputs(USAGE_HEAD, stream);
  for (const admin_command *c = commands; c->name; ++c)
    std::fputs(c->usage, stream);
  std::fputs(USAGE_TAIL, stream);
}

const admin_command *command_named(const char *name) {
  for (const admin_command *c = commands; c->name; ++c)
    if (std::strcmp(c->name, name) == 0)
      return c;
  return nullptr;
}

// The status, or ADMIN_FAILED when what was written on stdout did not all
// reach it (a full disk, for one).
int with_output_checked(int status) {
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == ADMIN_OK)
    return admin_fail("standard output cannot be written");
  return status;
}

} // namespace

int main(int argc, char **argv) {
  umask(022);
  openlog("corvane-admin", LOG_PID, LOG_MAIL);
  setlogmask(LOG_UPTO(LOG_INFO));

  std::vector<const char *> words;
  bool force = false, json = false, help = false, options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    const admin_command *named =
        words.empty() ? nullptr : command_named(words[0]);
    if (options_ended || arg[0] != '-' || arg[1] == '\0') {
      words.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      options_ended = true;
    } else if (std::strcmp(arg, "--force") == 0) {
      force = true;
    } else if (std::strcmp(arg, "--json") == 0) {
      json = true;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      help = true;
    } else if (named && named->as_plugin_user) {
      words.push_back(arg);
    } else {
      std::fprintf(stderr, "corvane-admin: unknown option '%s'\n\n", arg);
      print_usage(stderr);
      return ADMIN_USAGE;
    }
  }

  const admin_command *command =
      words.empty() ? nullptr : command_named(words[0]);
  if (help) {
    if (command)
      std::printf("Usage:\n%s", command->usage);
    else
      print_usage(stdout);
    return with_output_checked(ADMIN_OK);
  }
  if (!command) {
    if (words.empty())
      std::fprintf(stderr, "corvane-admin: no command given\n\n");
    else
      std::fprintf(stderr, "corvane-admin: unknown command '%s'\n\n", words[0]);
    print_usage(stderr);
    return ADMIN_USAGE;
  }

  admin_context context{std::span<const char *const>(words).subspan(1), force,
                        json, engine_handle{}};
  if (!command->as_plugin_user)
    corvane_init(&context.handle, admin_log);
  int status = command->run(context);
  corvane_free(&context.handle);
  status = with_output_checked(status);
  closelog();
  return status;
}
