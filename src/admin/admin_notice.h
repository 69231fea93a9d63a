// admin_notice: `corvane-admin notice show RULE|set RULE TEXT|clear RULE`,
// the administrator's own rejection texts in shared memory (custom_notice).
//
//   admin_notice(context)  an admin_status. RULE is a notice name of the
//       message catalogue (ip_blacklist, from_blacklist, require_helo ...)
//       or a notice id 1 to 46. `set` joins the words of TEXT with blanks
//       and refuses an empty text, or one with control characters (which
//       would break the SMTP reply) unless --force is given. It warns (the
//       text is stored all the same) when the one-line notice made of the
//       text leaves less than 64 octets of the 512-octet reply line per
//       placeholder the text uses, or is too long without any value: the
//       plug-in then cuts the values to fit.
//   notice_id_named(text)  the notice id 1 to 46 that `text` names, or 0.
#pragma once

#include "admin/admin_cli.h"

extern const char ADMIN_NOTICE_USAGE[];

int admin_notice(const admin_context &context);
int notice_id_named(const char *text);
