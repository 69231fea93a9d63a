// admin_try: `corvane-admin try`, one SMTP command judged by the plug-in's
// own engine against the installation's real files, DNS and maps, as the
// plug-in's user, with nothing written.
//
//   admin_try(context)  an admin_status. The options give the facts that
//       qmail-smtpd passes in the environment (--ip TCPREMOTEIP, --host
//       TCPREMOTEHOST, --helo SMTPHELOHOST, --from SMTPMAILFROM, --rcpt
//       SMTPRCPTTO, --auth SMTPAUTHUSER, --relay an empty RELAYCLIENT); a
//       fact not given is absent, as an unset variable is. The process
//       becomes the plug-in's user (--user, default qmaild; where no
//       qmaild exists it judges as itself and says so on stderr), takes
//       exactly that environment, builds the record and the MUA flag as the
//       plug-in does and runs the engine with engine_dry_run set and every
//       log line of the plug-in routed to stdout: "<priority>: <text>",
//       control bytes shown as '?'. Then the verdict line and, for a
//       rejection, the reply qmail-smtpd sends and the lines corvane-spp
//       writes for it, last. No counter, transaction log or syslog line is
//       written.
#pragma once

#include "admin/admin_cli.h"

extern const char ADMIN_TRY_USAGE[];

int admin_try(const admin_context &context);
