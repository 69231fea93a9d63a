// A scripted resolver for the unit tests: while a ut::scripted_resolver
// lives, the dns_resolver table answers from the queues below and records
// what was asked, so no test reaches a real DNS server.
#pragma once

#include "util/dns_resolver.h"

#include <arpa/inet.h>
#include <deque>
#include <netdb.h>
#include <string>
#include <vector>

namespace ut::dns_script {

// One res_query call.
struct query_call {
  std::string name;
  int query_class;
  int type;
  int answer_length;
};

// One gethostbyaddr answer.
struct reverse_answer {
  const char *name; // null: no entry, h_errno below
  int error;
};

inline std::vector<query_call> queries_made;
inline std::deque<int> query_results; // res_query returns; -1 when empty
inline std::vector<std::string> reverse_lookups; // the addresses asked, as text
inline std::deque<reverse_answer> reverse_script; // NO_RECOVERY when empty
inline std::string scripted_name; // the h_name of the last entry answered

// The queries made as "<name> A", "<name> MX" (or "<name> ?").
inline std::vector<std::string> query_names() {
  std::vector<std::string> names;
  for (const query_call &q : queries_made)
    names.push_back(q.name + (q.type == 1    ? " A"
                              : q.type == 15 ? " MX"
                                             : " ?"));
  return names;
}

namespace detail {

inline int scripted_h_errno = 0;
inline struct hostent scripted_entry;

inline int scripted_query(const char *name, int query_class, int type,
                          unsigned char *, int answer_length) {
  queries_made.push_back({name, query_class, type, answer_length});
  if (query_results.empty())
    return -1;
  int rc = query_results.front();
  query_results.pop_front();
  return rc;
}

inline struct hostent *scripted_host_by_addr(const void *address,
                                             socklen_t length, int family) {
  char text[INET_ADDRSTRLEN] = "?";
  if (length == 4 && family == AF_INET)
    inet_ntop(AF_INET, address, text, sizeof text);
  reverse_lookups.push_back(text);
  reverse_answer answer{nullptr, NO_RECOVERY};
  if (!reverse_script.empty()) {
    answer = reverse_script.front();
    reverse_script.pop_front();
  }
  scripted_h_errno = answer.error;
  if (!answer.name)
    return nullptr;
  scripted_name = answer.name;
  scripted_entry = {};
  scripted_entry.h_name = scripted_name.data();
  return &scripted_entry;
}

inline int scripted_last_error() { return scripted_h_errno; }

} // namespace detail

// Empties the script and puts it in the dns_resolver table; the table is
// restored when the owner goes.
class scripted_resolver {
public:
  scripted_resolver() : saved_(dns_resolver) {
    queries_made.clear();
    query_results.clear();
    reverse_lookups.clear();
    reverse_script.clear();
    dns_resolver = {detail::scripted_query, detail::scripted_host_by_addr,
                    detail::scripted_last_error};
  }
  scripted_resolver(const scripted_resolver &) = delete;
  scripted_resolver &operator=(const scripted_resolver &) = delete;
  ~scripted_resolver() { dns_resolver = saved_; }

private:
  dns_resolver_calls saved_;
};

} // namespace ut::dns_script
