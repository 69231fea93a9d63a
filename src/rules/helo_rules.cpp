#include "rules/helo_rules.h"

#include "lookup/dns_lookup.h"
#include "util/raii.h"

#include <cstring>
#include <syslog.h>

namespace {

// "[" + the shortest dotted quad "1.2.3.4" + "]".
constexpr size_t SHORTEST_BRACKETED_ADDRESS = 9;

bool is_ascii_letter_or_digit(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }

} // namespace

int require_helo(string_list *, string_list **, spp_state record) {
  if (!record.helo) {
    RULE_TRACE(record, LOG_DEBUG, "require_helo: HELO is null");
    return HIT;
  }
  return DUNNO;
}

int valid_helo_domain(string_list *, string_list **, spp_state record) {
  const char *helo = record.helo;
  if (!helo)
    return HIT;
  const size_t length = std::strlen(helo);
  if (length == 0) {
    RULE_TRACE(record, LOG_DEBUG, "HELO is empty");
    return HIT;
  }
  if (std::strcmp(helo, "localhost") == 0) {
    RULE_TRACE(record, LOG_DEBUG, "HELO is \"localhost\"");
    return HIT;
  }
  if (std::strcmp(helo, "localhost.localdomain") == 0) {
    RULE_TRACE(record, LOG_DEBUG, "HELO is \"localhost.localdomain\"");
    return HIT;
  }

  int dots = 0;
  bool after_dot = false;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(helo[i]);
    if (is_ascii_letter_or_digit(c) || c == '-' || c == '[' || c == ']') {
      after_dot = false;
    } else if (c == '.') {
      if (after_dot) {
        RULE_TRACE(record, LOG_DEBUG, "HELO contains two consecutive dots");
        return HIT;
      }
      ++dots;
      after_dot = true;
    } else {
      RULE_TRACE(record, LOG_DEBUG, "HELO contains invalid characters");
      return HIT;
    }
  }
  if (dots == 0) {
    RULE_TRACE(record, LOG_DEBUG, "No dots in HELO");
    return HIT;
  }

  const auto first = static_cast<unsigned char>(helo[0]);
  if (is_ascii_digit(first) && isIPAddress(helo) == 1) {
    RULE_TRACE(record, LOG_DEBUG, "HELO contains IP Address");
    return HIT;
  }
  if (first == '[') {
    if (length < SHORTEST_BRACKETED_ADDRESS || helo[length - 1] != ']')
      return DUNNO;
    heap_text inside(strndup(helo + 1, length - 2));
    if (!inside) {
      RULE_TRACE(record, LOG_ERR,
                 "Unable to allocate memory for copy of HELO arg");
      return DUNNO;
    }
    return isIPAddress(inside.get()) == 1 ? HIT : DUNNO;
  }
  if (first == '.') {
    RULE_TRACE(record, LOG_DEBUG, "HELO starts with dot");
    return HIT;
  }
  return DUNNO;
}

int resolve_helo_domain(string_list *, string_list **, spp_state record) {
  if (!record.helo)
    return TEMPFAIL;
  if (!*record.helo)
    return DUNNO;
  switch (record.helo_resolves) {
  case 0:
    if (isIPAddress(record.helo) != 0) {
      RULE_TRACE(record, LOG_INFO, "Did not attempt to resolve IP address");
      return DUNNO;
    }
    return lookupDomain(record.helo) == 1 ? HIT : DUNNO;
  case 2:
    return HIT;
  default:
    return DUNNO;
  }
}
