// admin_user: becoming the user qmail-smtpd runs the plug-in as, so that
// `corvane-admin try` and `check` read exactly what the plug-in can read.
//
//   become_plugin_user(name, &became)  looks the user up (a user name, or a
//       numeric id whose group is the same number when no account has it)
//       and, unless the process already runs as that user, makes it the
//       process's real and effective user and its group the only group (as
//       the SMTP server's launcher does), for good. `name` null means
//       PLUGIN_DEFAULT_USER. Returns USER_BECOME on success (`became` is
//       the user's name or number), USER_MISSING when no such user exists,
//       USER_REFUSED with errno set when the change fails (not root).
#pragma once

#include <string>

inline constexpr const char *PLUGIN_DEFAULT_USER = "qmaild";

enum plugin_user_result { USER_BECOME, USER_MISSING, USER_REFUSED };

plugin_user_result become_plugin_user(const char *name, std::string &became);
