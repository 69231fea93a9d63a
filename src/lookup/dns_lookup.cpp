#include "lookup/dns_lookup.h"

#include "util/dns_resolver.h"
#include "util/plugin_log.h"
#include "util/raii.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <syslog.h>

namespace {

// Room for the answer of one query; the answers are never examined.
constexpr int ANSWER_BUFFER = 1024;

// gethostbyaddr is tried this often while it reports TRY_AGAIN.
constexpr int REVERSE_TRIES = 3;

} // namespace

int isIPAddress(const char *text) {
  if (!text)
    return -1;
  if (!*text)
    return 0;
  int dots = 0;
  for (const char *p = text; *p; ++p)
    if (*p == '.')
      ++dots;
  if (dots != 3)
    return 0;
  // inet_aton stops at white space and ignores what follows; the whole
  // text must be the address.
  if (std::strpbrk(text, " \t\n\v\f\r"))
    return 0;
  struct in_addr address;
  return inet_aton(text, &address) ? 1 : 0;
}

int lookupDomain(const char *domain) {
  if (isIPAddress(domain) != 0) {
    plugin_log(LOG_INFO, "Did not attempt to resolve IP address");
    return 0;
  }
  plugin_log(LOG_INFO, "Looking up domain %s (this may take a while)", domain);
  unsigned char answer[ANSWER_BUFFER];
  if (dns_resolver.query(domain, ns_c_in, ns_t_a, answer, sizeof answer) != -1)
    return 0;
  if (dns_resolver.query(domain, ns_c_in, ns_t_mx, answer, sizeof answer) != -1)
    return 0;
  return 1;
}

int __getenv(const char *name, char **out) {
  if (!name || !out) {
    plugin_log(LOG_DEBUG, "__getenv(): attempt to call with invalid arguments");
    return -1;
  }
  const char *value = std::getenv(name);
  if (!value)
    return 1;
  char *copy = strdup(value);
  if (!copy) {
    plugin_log(LOG_ERR, "__getenv(): out of memory error");
    return -1;
  }
  *out = copy;
  return 0;
}

int lookupReverseDNS(char **out, const char *ip) {
  if (!out || !ip) {
    plugin_log(LOG_DEBUG, "lookupReverseDns(): NULL arguments detected");
    return 666;
  }
  char *from_front_end = nullptr;
  if (__getenv("TCPREMOTEHOST", &from_front_end) == 0) {
    *out = from_front_end;
    return *from_front_end ? 0 : 1;
  }
  if (isIPAddress(ip) == 0) {
    plugin_log(LOG_DEBUG, "lookupReverseDNS(): Invalid IP address detected");
    return 666;
  }
  char *name = nullptr;
  int rc = __runRDNSQuery(&name, ip);
  heap_text owned(name);
  if (rc == 0 || rc == 1)
    *out = owned.release();
  return rc;
}

int __runRDNSQuery(char **out, const char *ip) {
  if (!out || !ip) {
    plugin_log(LOG_DEBUG,
               "__runRDNSQuery(): attempt to run with invalid arguments");
    return 2;
  }
  struct in_addr address;
  if (!inet_aton(ip, &address)) {
    plugin_log(LOG_WARNING, "lookupReverseDNS(): invalid IP address");
    return 666;
  }
  for (int tries = 1;; ++tries) {
    const struct hostent *entry =
        dns_resolver.host_by_addr(&address, sizeof address, AF_INET);
    if (entry && entry->h_name) {
      char *name = strdup(entry->h_name);
      if (!name) {
        plugin_log(LOG_ERR, "lookupReverseDNS(): out of memory error");
        return 2;
      }
      *out = name;
      plugin_log(LOG_DEBUG, "lookupReverseDNS(): resolved to [%s]", name);
      return 0;
    }
    switch (dns_resolver.last_error()) {
    case TRY_AGAIN:
      if (tries < REVERSE_TRIES)
        continue;
      plugin_log(LOG_ERR, "gethostbyaddr() retried %d times", tries);
      return 2;
    case HOST_NOT_FOUND: {
      plugin_log(LOG_DEBUG, "Hostname for IP %s could not be found", ip);
      char *empty = strdup("");
      if (!empty) {
        plugin_log(LOG_ERR, "lookupReverseDNS(): out of memory error");
        return 2;
      }
      *out = empty;
      return 1;
    }
    case NO_RECOVERY:
      plugin_log(LOG_ERR, "A non-recoverable DNS server error occured");
      return 2;
    default:
      plugin_log(LOG_ERR, "Unable to lookup reverse-DNS");
      return 2;
    }
  }
}
