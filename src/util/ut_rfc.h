// ut_rfc: syntax checks of IPv4 addresses, domain names and e-mail
// addresses, and the splitting of an address list. Nothing here touches the
// network. Results are 1 (yes) or 0 (no).
//
//   ut_is_ip(text)          a dotted quad: a digit first and last, exactly
//                           three dots, and ut_inet_addr non-zero (so
//                           0.0.0.0 and 255.255.255.255 are not; octal and
//                           hexadecimal parts are).
//   ut_valid_domain(text)   at least 3 characters with a dot, not at either
//                           end, no "..", not an IP address, only ASCII
//                           letters, digits, '-' and '.'.
//   ut_valid_email_address(text)
//                           local@domain: a non-empty local part of letters,
//                           digits and !#$%&'*+-/=?^_`{|}~. (no leading,
//                           trailing or double dot), the domain part at most
//                           254 characters and valid as above.
//   ut_rfc822_email_address(text, &bracketed)
//                           an address as a mail header writes it: quoted
//                           phrases, (nested) comments, one <address> (then
//                           *bracketed = 1; "<>" is a bounce); else a bare
//                           address. 1 for a missing or empty text and when
//                           memory runs out (the check cannot run).
//   ut_split_addresses(text) the comma-separated elements, outside quotes and
//                           comments, each with its whitespace simplified,
//                           empty ones left out, as heap strings (size: length
//                           + 1) in a new ut_list; null for a missing or
//                           empty text or when memory runs out. Destroy it
//                           with free as release.
//
// Character classes are ASCII: bytes 0x80 to 0xFF are in none. Reports
// (ut_log): EINVAL for a missing argument, ENOMEM; the rest is debug trace.
#pragma once

#include "util/ut_list.h"

int ut_is_ip(const char *text);
int ut_valid_domain(const char *text);
int ut_valid_email_address(const char *text);
int ut_rfc822_email_address(const char *text, unsigned char *bracketed);
ut_list_node *ut_split_addresses(const char *text);
