// A scripted resolver for the unit tests: while a scripted_resolver lives,
// the dns_resolver table answers from the queues below and records what was
// asked, so no test reaches a real DNS server.
#pragma once

#include "util/dns_resolver.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <deque>
#include <string>
#include <vector>

namespace ut::dns_script {

// One gethostbyaddr answer: a name, or none with this h_errno.
struct reverse_answer {
  const char *name;
  int error;
};

inline std::vector<std::string> queries_made;     // "<name> A", "<name> MX"
inline std::deque<int> query_results;             // -1 when empty
inline std::vector<std::string> reverse_lookups;  // the addresses asked
inline std::deque<reverse_answer> reverse_script; // NO_RECOVERY when empty
inline int last_h_errno = 0;

inline int query(const char *name, int query_class, int type, unsigned char *,
                 int room) {
  const bool usual = query_class == ns_c_in && room >= 512;
  queries_made.push_back(name + std::string(!usual           ? " ?"
                                            : type == ns_t_a ? " A"
                                                             : " MX"));
  const int rc = query_results.empty() ? -1 : query_results.front();
  if (!query_results.empty())
    query_results.pop_front();
  return rc;
}

inline struct hostent *host_by_addr(const void *address, socklen_t, int) {
  static std::string name;
  static struct hostent entry;
  char text[INET_ADDRSTRLEN];
  reverse_lookups.push_back(inet_ntop(AF_INET, address, text, sizeof text));
  reverse_answer answer{nullptr, NO_RECOVERY};
  if (!reverse_script.empty()) {
    answer = reverse_script.front();
    reverse_script.pop_front();
  }
  last_h_errno = answer.error;
  if (!answer.name)
    return nullptr;
  name = answer.name;
  entry = {};
  entry.h_name = name.data();
  return &entry;
}

// Empties the script and puts it in the dns_resolver table until it goes.
class scripted_resolver {
public:
  scripted_resolver() {
    queries_made.clear();
    query_results.clear();
    reverse_lookups.clear();
    reverse_script.clear();
    dns_resolver = {query, host_by_addr, [] { return last_h_errno; }};
  }
  scripted_resolver(const scripted_resolver &) = delete;
  scripted_resolver &operator=(const scripted_resolver &) = delete;
  ~scripted_resolver() { dns_resolver = saved_; }

private:
  const dns_resolver_calls saved_ = dns_resolver;
};

} // namespace ut::dns_script
