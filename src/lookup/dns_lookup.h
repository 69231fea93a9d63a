// dns_lookup: DNS facts about an SMTP session, asked of the system resolver.
//
//   isIPAddress(text)        1 for a dotted-quad IPv4 address: exactly three
//                            dots and the whole text accepted by inet_aton
//                            (which takes octal and hexadecimal parts, but
//                            no trailing white space or text after it); 0
//                            otherwise, also for an empty text; -1 for a
//                            missing argument.
//   lookupDomain(domain)     1 when the domain has neither an A nor an MX
//                            record (a resolver failure of both queries
//                            counts as missing); 0 when it has one of them,
//                            or when no query was made (an IP address or a
//                            missing argument).
//   __getenv(name, &out)     0: the variable is set (an empty value too) and
//                            out holds a new heap copy (free()); 1: not set,
//                            out untouched; -1: missing argument or out of
//                            memory, out untouched.
//   lookupReverseDNS(&out, ip)
//                            the client's host name: TCPREMOTEHOST when the
//                            SMTP front end set it (no query), else a
//                            reverse lookup. 0: a name, stored in out as a
//                            new heap text; 1: the client has no name, out
//                            holds a new empty heap text; 2: lookup error;
//                            666: missing argument or invalid IP. On 2 and
//                            666 out is untouched. On 0 and 1 the pointer
//                            out held before is overwritten, not freed.
//   __runRDNSQuery(&out, ip) the reverse lookup alone (gethostbyaddr), with
//                            the results of lookupReverseDNS; a temporary
//                            failure is retried at once, three tries in all.
//                            A missing argument gives 2 here.
//
// Diagnostics go to syslog (the plug-in's log): queries at LOG_INFO, trace
// lines at LOG_DEBUG, resolver failures at LOG_ERR, for example
// "gethostbyaddr() retried 3 times". No time-outs of their own: each query
// waits as long as the system resolver does.
#pragma once

int isIPAddress(const char *text);
int lookupDomain(const char *domain);
int __getenv(const char *name, char **out);
int lookupReverseDNS(char **out, const char *ip);
int __runRDNSQuery(char **out, const char *ip);
