#include "lookup/dns_lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

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
  struct in_addr address;
  return inet_aton(text, &address) ? 1 : 0;
}
