#include "util/dns_resolver.h"

#include <netdb.h>
#include <resolv.h>

namespace {

int system_h_errno() { return h_errno; }

} // namespace

constinit dns_resolver_calls dns_resolver = {res_query, gethostbyaddr,
                                             system_h_errno};
