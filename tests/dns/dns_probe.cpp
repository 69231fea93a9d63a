// dns_probe: runs one of the plug-in's DNS lookups the way the plug-in does
// (same link, same syslog set-up) and prints its result, so that the
// end-to-end tests can drive the lookups against the test DNS server.
//
//   dns_probe reverse IP   lookupReverseDNS: prints "<rc> [<name>]", or
//                          "<rc> (untouched)" when the name was not set.
//   dns_probe domain NAME  lookupDomain: prints "<rc>".
//
// The environment (TCPREMOTEHOST) is taken as it comes. Exit status 0, or 2
// for a usage error.
#include "lookup/dns_lookup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dns_probe reverse IP | domain NAME\n");
    return 2;
  }
  openlog("corvane-spp", LOG_PID, LOG_MAIL);
  if (std::strcmp(argv[1], "reverse") == 0) {
    char *name = nullptr;
    int rc = lookupReverseDNS(&name, argv[2]);
    if (name)
      std::printf("%d [%s]\n", rc, name);
    else
      std::printf("%d (untouched)\n", rc);
    std::free(name);
  } else if (std::strcmp(argv[1], "domain") == 0) {
    std::printf("%d\n", lookupDomain(argv[2]));
  } else {
    std::fprintf(stderr, "usage: dns_probe reverse IP | domain NAME\n");
    return 2;
  }
  closelog();
  return 0;
}
