// admin_setup: `corvane-admin setup [USER]`, the folders and files that the
// plug-in needs on a host, made after a plain `cmake --install` and by the
// package's postinst.
//
//   admin_setup(context)   an admin_status. Creates, where missing, the
//       folders /etc/corvane, its control and dynaregex folders,
//       /var/cache/ipr, /var/log/corvane, /var/cores and
//       /var/cores/corvane (0755; the core folder 0750) and the two pattern
//       files (0644): dyna.regexes holding the plug-in's built-in dynamic
//       address pattern, so that its verdicts stay as they were without
//       the file, and spam.regexes holding no pattern. The two folders the
//       plug-in writes, /var/log/corvane and /var/cores/corvane, are given
//       to USER (default qmaild) and its group while root owns them; a
//       folder owned by anyone else, or a link in a folder's place, is
//       left as it is. Existing files are never opened for writing, so a
//       second run changes nothing. Each change is printed on stdout; the
//       run ends with one line, also logged. Without such a user, a
//       warning says so and the run still succeeds. ADMIN_FAILED when
//       something in a folder's place is not a folder or a step fails (the
//       other steps are still made).
#pragma once

#include "admin/admin_cli.h"

extern const char ADMIN_SETUP_USAGE[];

int admin_setup(const admin_context &context);
