// dns_resolver: the resolver calls that the DNS lookups (lookup/dns_lookup)
// and the library's helpers (ut_dns) make, gathered in one table so that a
// unit test can answer in their place.
//
//   dns_resolver.query          res_query(3): class IN queries.
//   dns_resolver.host_by_addr   gethostbyaddr(3).
//   dns_resolver.last_error     h_errno after the last failed call.
//
// The table starts out holding the system resolver's functions, and the
// program never changes it; only tests swap entries (and restore them).
#pragma once

#include <netdb.h>
#include <sys/socket.h>

struct dns_resolver_calls {
  int (*query)(const char *name, int query_class, int type,
               unsigned char *answer, int answer_length);
  struct hostent *(*host_by_addr)(const void *address, socklen_t length,
                                  int family);
  int (*last_error)();
};

extern dns_resolver_calls dns_resolver;
