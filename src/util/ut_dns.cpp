#include "util/ut_dns.h"

#include "util/dns_resolver.h"
#include "util/ut_log.h"
#include "util/ut_rfc.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace {

constexpr int REVERSE_TRIES = 3;
constexpr int ANSWER_AREA = 1024;

} // namespace

unsigned long ut_inet_addr(const char *text) {
  struct in_addr address = {};
  if (!text || !inet_aton(text, &address) || address.s_addr == INADDR_NONE) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  const unsigned long value = address.s_addr;
  UT_DEBUG("[%s] converted to %lu", text, value);
  return value;
}

int ut_lookup_reverse_dns(char **name, const char *ip) {
  if (!name || !ip || !ut_is_ip(ip)) {
    UT_ERRNO(EINVAL);
    return -2;
  }
  UT_DEBUG("parameter [%s]", ip);
  struct in_addr address = {};
  if (!inet_aton(ip, &address))
    return -2;
  for (int attempt = 0; attempt < REVERSE_TRIES; ++attempt) {
    // A success need not clear h_errno; a stale code must not decide.
    h_errno = 0;
    const struct hostent *entry =
        dns_resolver.host_by_addr(&address, sizeof address, AF_INET);
    switch (dns_resolver.last_error()) {
    case NO_RECOVERY:
      UT_ERROR("[%s] %s", ip, hstrerror(NO_RECOVERY));
      return 2;
    case HOST_NOT_FOUND:
      UT_DEBUG("[%s] lookup result NXDOMAIN", ip);
      return -1;
    case TRY_AGAIN:
      continue;
    default:
      break;
    }
    if (!entry || !entry->h_name || !*entry->h_name)
      continue;
    UT_DEBUG("[%s] Found record %s", ip, entry->h_name);
    char *copy = strdup(entry->h_name);
    if (!copy) {
      UT_ERRNO(ENOMEM);
      return 2;
    }
    std::free(*name);
    *name = copy;
    return 0;
  }
  UT_DEBUG("[%s] %s", ip, std::strerror(ECONNABORTED));
  return 2;
}

int ut_resolv(const char *domain, int type) {
  if (!ut_valid_domain(domain)) {
    UT_ERRNO(EINVAL);
    return -2;
  }
  unsigned char answer[ANSWER_AREA];
  if (dns_resolver.query(domain, ns_c_in, type, answer, ANSWER_AREA - 1) ==
      -1) {
    UT_DEBUG("error on lookup [%s]", domain);
    return 1;
  }
  return 0;
}

int ut_has_a_or_mx(const char *domain) {
  if (!ut_valid_domain(domain)) {
    UT_DEBUG("domain [%s] flagged as invalid.", domain ? domain : "(null)");
    return 0;
  }
  if (ut_resolv(domain, ns_t_a) == 0) {
    UT_DEBUG("domain [%s] found A record", domain);
    return 1;
  }
  UT_DEBUG("domain [%s] no A record found. Seeking MX", domain);
  if (ut_resolv(domain, ns_t_mx) == 0) {
    UT_DEBUG("domain [%s] found MX record", domain);
    return 1;
  }
  return 0;
}
