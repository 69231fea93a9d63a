// test_dns: a DNS server for one end-to-end case, answering from a table.
//
// Construct it inside a Sandbox, after use_dns_server_at_localhost(): it
// starts tests/dns/dns_server.py (Debian's python3-dnslib) as a child
// process, which inherits the sandbox's network namespace, listens on
// 127.0.0.1:53 (UDP and TCP) and answers only from the table:
//
//   TestDns dns({{"mx-only.example", MX, "mail.example"},
//                {"10.2.0.192.in-addr.arpa", PTR, "host.example"},
//                {"broken.example", SERVFAIL}});
//   ASSERT_TRUE(dns.ok()) << dns.error();
//
// A name missing from the table gets NXDOMAIN; a name that has records, but
// none of the asked type, an empty answer. The destructor kills the server,
// so it must go before the Sandbox does (declare it after the Sandbox).
//
// queries() takes the queries received since the last call, in arrival
// order, as "<name> <TYPE>" (lower-case name, no final dot), for example
// "mx-only.example A": an empty list after a run shows that no query was
// made. The server reports a query before it answers it.
//
// This header must not be combined with <arpa/nameser.h> (or <resolv.h>),
// whose compatibility macros take the names NXDOMAIN and SERVFAIL.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_dns {

enum answer_type { A, MX, PTR, NXDOMAIN, SERVFAIL };

struct record {
  std::string name;
  answer_type type;
  std::string value = {}; // A: address; MX: host or "PREF HOST"; PTR: host
};

class TestDns {
public:
  explicit TestDns(const std::vector<record> &records);
  ~TestDns();
  TestDns(const TestDns &) = delete;
  TestDns &operator=(const TestDns &) = delete;

  bool ok() const { return pid_ > 0 && error_.empty(); }
  const std::string &error() const { return error_; }

  // Queries received since the last call (or since start), "<name> <TYPE>".
  std::vector<std::string> queries();

private:
  void read_available(int wait_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
  std::string error_;
};

} // namespace test_dns
