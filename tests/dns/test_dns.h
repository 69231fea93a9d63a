// test_dns: the test DNS server of one end-to-end case, answering from a
// table. Made inside a sandbox, it starts tests/dns/dns_server.py (see there
// for the record forms) in the sandbox's network namespace, where the
// resolver asks 127.0.0.1 only:
//
//   test_dns::server dns({"mx-only.example MX 10 mail.example",
//                         "10.2.0.192.in-addr.arpa PTR host.example",
//                         "broken.example SERVFAIL"});
//
// queries() takes the queries received since the last call, in order, as
// "NAME TYPE" (lower case, no final dot). The server is killed with its
// owner.
#pragma once

#include "util/raii.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_dns {

class server {
public:
  explicit server(const std::vector<std::string> &records);
  ~server();
  server(const server &) = delete;
  server &operator=(const server &) = delete;

  // Empty when the server is answering; else why not.
  const std::string &error() const { return error_; }
  std::vector<std::string> queries();

private:
  pid_t pid_ = -1;
  unique_fd out_;
  std::string error_, pending_;
};

} // namespace test_dns
