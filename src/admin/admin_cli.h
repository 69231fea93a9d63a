// admin_cli: what the commands of corvane-admin share: exit statuses, the
// row of the command table, messages and the engine's log callback.
//
// Exit statuses: ADMIN_OK 0 done; ADMIN_FAILED 1 a change refused or
// failed, the reason on stderr, the files left as they were; ADMIN_USAGE 2
// the command line is wrong, the reason and the usage on stderr.
//
//   admin_fail(format, ...)         "corvane-admin: <text>" on stderr;
//                                   ADMIN_FAILED.
//   admin_usage_error(usage, format, ...)  the same, then the usage text;
//                                   ADMIN_USAGE.
//   admin_warn(format, ...)         "corvane-admin: warning: <text>" on
//                                   stderr; nothing returned.
//   admin_done(format, ...)         the text on stdout, also logged at
//                                   LOG_INFO (a record of every change);
//                                   ADMIN_OK.
//   admin_log                       the engine handle's logger: syslog
//                                   (ident corvane-admin, facility mail),
//                                   and warnings and errors also on stderr.
//   print_line_stdout(text)         the text and a line feed on stdout.
//   lock_folder(dir)                the folder, opened and flocked: its
//                                   lock serialises the corvane-admin
//                                   runs that read, change and write the
//                                   files in it, waiting as long as it
//                                   takes (the plug-in only reads them and
//                                   takes no lock). An invalid descriptor
//                                   with errno set when it cannot.
#pragma once

#include "engine/rule_registry.h"
#include "util/raii.h"

#include <span>

enum admin_status { ADMIN_OK = 0, ADMIN_FAILED = 1, ADMIN_USAGE = 2 };

struct admin_context {
  std::span<const char *const> args; // the words after the command's name
  bool force;                        // --force: accept doubtful entries
  bool json;                         // --json: stats for monitoring
  engine_handle handle; // built by corvane_init(admin_log), except for a
                        // command run as_plugin_user
};

struct admin_command {
  const char *name; // an absent name ends the table
  const char *usage;
  int (*run)(const admin_context &context);
  // The command reads as the plug-in's user: it builds the engine itself
  // once it has become that user, and takes options of its own.
  bool as_plugin_user;
};

__attribute__((format(printf, 1, 2))) int admin_fail(const char *format, ...);
__attribute__((format(printf, 2, 3))) int
admin_usage_error(const char *usage, const char *format, ...);
__attribute__((format(printf, 1, 2))) void admin_warn(const char *format, ...);
__attribute__((format(printf, 1, 2))) int admin_done(const char *format, ...);
__attribute__((format(printf, 2, 3))) void admin_log(int priority,
                                                     const char *format, ...);
void print_line_stdout(const char *text);
unique_fd lock_folder(const char *dir);
