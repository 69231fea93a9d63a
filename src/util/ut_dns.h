// ut_dns: the utility library's resolver helpers.
//
//   ut_inet_addr(text)   the IPv4 address as inet_aton(3) stores it
//                        (network byte order in the low 32 bits); 0 for a
//                        missing or unparsable text and for 255.255.255.255,
//                        so "0.0.0.0" cannot be told from a failure.
//   ut_lookup_reverse_dns(&name, ip)
//                        up to three PTR lookups (again at once while the
//                        resolver says TRY_AGAIN): 0 with the name in a new
//                        string (the old one freed); -1 NXDOMAIN; 2 for a
//                        lookup error or three failed tries; -2 when ip is
//                        no address by ut_is_ip (no query). `name` is left
//                        alone on every result but 0.
//   ut_resolv(domain, type)  one class-IN query of the DNS type: 0 when it
//                        succeeded, 1 when it failed, -2 for a domain that
//                        ut_valid_domain refuses (no query).
//   ut_has_a_or_mx(domain)   1 when the domain has an A record or else an
//                        MX record; 0 otherwise and for an invalid domain.
//
// The queries go through the dns_resolver table, so that tests can answer
// in the resolver's place. Reports (ut_log): EINVAL for arguments, ENOMEM,
// and the resolver's text for NO_RECOVERY.
#pragma once

int ut_lookup_reverse_dns(char **name, const char *ip);
unsigned long ut_inet_addr(const char *text);
int ut_resolv(const char *domain, int type);
int ut_has_a_or_mx(const char *domain);
