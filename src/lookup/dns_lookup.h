// dns_lookup: DNS facts about an SMTP session.
//
//   isIPAddress(text)  1 for a dotted-quad IPv4 address (exactly three dots
//                      and accepted by inet_aton); 0 otherwise, also for an
//                      empty text; -1 for a missing argument.
#pragma once

int isIPAddress(const char *text);
