// test_dns: starts and stops the table-driven test DNS server.
#include "test_dns.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#ifndef CORVANE_TEST_DNS_SCRIPT
#error "CORVANE_TEST_DNS_SCRIPT must name tests/dns/dns_server.py"
#endif
#ifndef CORVANE_TEST_DNS_PYTHON
#define CORVANE_TEST_DNS_PYTHON "/usr/bin/python3"
#endif

namespace test_dns {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);

const char *type_name(answer_type type) {
  switch (type) {
  case A:
    return "A";
  case MX:
    return "MX";
  case PTR:
    return "PTR";
  case NXDOMAIN:
    return "NXDOMAIN";
  case SERVFAIL:
    return "SERVFAIL";
  }
  return "?";
}

std::string json_string(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string json_table(const std::vector<record> &records) {
  std::string out = "[";
  for (const record &r : records) {
    if (out.size() > 1)
      out += ",";
    out += "{\"name\":" + json_string(r.name) + ",\"type\":\"" +
           type_name(r.type) + "\",\"value\":" + json_string(r.value) + "}";
  }
  return out + "]";
}

} // namespace

TestDns::TestDns(const std::vector<record> &records) {
  std::vector<std::string> args = {CORVANE_TEST_DNS_PYTHON,
                                   CORVANE_TEST_DNS_SCRIPT,
                                   "--address",
                                   "127.0.0.1",
                                   "--port",
                                   "53",
                                   "--records",
                                   json_table(records)};
  std::vector<char *> argv;
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) {
    // Never outlive the test, even when it crashes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(127);
    if (dup2(fds[1], STDOUT_FILENO) < 0)
      _exit(127);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "test_dns: exec %s: %s\n", argv[0],
                 std::strerror(errno));
    _exit(127);
  }
  pid_ = pid;
  close(fds[1]);
  out_fd_ = fds[0];

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (lines_.empty() || lines_.front() != "ready") {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error_ = "the DNS server did not report ready in time";
      return;
    }
    if (!lines_.empty()) {
      error_ = "the DNS server said \"" + lines_.front() + "\" first";
      return;
    }
    read_available(static_cast<int>(left.count()));
    if (out_fd_ < 0 && lines_.empty()) {
      error_ = "the DNS server ended before it was ready (see stderr)";
      return;
    }
  }
  lines_.erase(lines_.begin());
}

TestDns::~TestDns() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_fd_ >= 0)
    close(out_fd_);
}

void TestDns::read_available(int wait_ms) {
  if (out_fd_ < 0)
    return;
  struct pollfd pfd = {out_fd_, POLLIN, 0};
  int ready = poll(&pfd, 1, wait_ms);
  while (ready > 0) {
    char chunk[4096];
    ssize_t n = read(out_fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      close(out_fd_);
      out_fd_ = -1;
      break;
    }
    pending_.append(chunk, static_cast<size_t>(n));
    ready = poll(&pfd, 1, 0);
  }
  for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    lines_.push_back(pending_.substr(0, end));
    pending_.erase(0, end + 1);
  }
}

std::vector<std::string> TestDns::queries() {
  read_available(0);
  std::vector<std::string> queries;
  for (const std::string &line : lines_) {
    // "QUERY <name> <TYPE> <protocol>"
    if (line.rfind("QUERY ", 0) != 0)
      continue;
    std::string rest = line.substr(6);
    size_t last = rest.rfind(' ');
    queries.push_back(last == std::string::npos ? rest : rest.substr(0, last));
  }
  lines_.clear();
  return queries;
}

} // namespace test_dns
