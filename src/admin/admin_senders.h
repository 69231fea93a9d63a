// admin_senders: corvane-admin's view and editing of the restriction file of
// known senders (config.valid_domain_ips_filename), which the rule
// known_sender_forgery reads.
//
//   admin_senders(context)  `senders show | add DOMAIN NETWORK... | del
//       DOMAIN NETWORK... | test SENDER IP`:
//       show  every line the plug-in reads: the networks of each domain
//             line that counts, and as "<path>:<n>: ..." each piece it
//             skips, each line it drops and why, and each later line of a
//             domain that it never consults.
//       add   adds networks (a.b.c.d or a.b.c.d/n) to the line the plug-in
//             consults for the domain, or appends "domain: networks" when
//             the domain has none; networks it already lists are left out.
//       del   removes networks from that line, and the line itself when no
//             network is left (a later line of the domain then counts).
//       test  the file's decision for a sender address and client IP, and
//             whether the rule is switched on.
//       A domain or network that the plug-in would drop is refused unless
//       --force. Changes keep every other line, comments and blank lines
//       included, in order, with no line limit; they are made under the
//       control folder's lock (as the switches) and the file's own flock,
//       through a temporary file renamed over the file (update_list_file).
//   explain_restrictions(text, report)
//       the analysis behind show, for a file's whole text: calls report for
//       each line with its number, whether it is a problem, and the message.
#pragma once

#include "admin/admin_cli.h"

#include <functional>
#include <string>

extern const char ADMIN_SENDERS_USAGE[];

int admin_senders(const admin_context &context);

using restriction_report =
    std::function<void(int line, bool problem, const std::string &message)>;
void explain_restrictions(const char *text, const restriction_report &report);
