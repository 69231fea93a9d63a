// test_dns: starts, reads and stops the table-driven test DNS server.
#include "test_dns.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace test_dns {

server::server(const std::vector<std::string> &records) {
  std::vector<std::string> words = {CORVANE_TEST_DNS_PYTHON,
                                    CORVANE_TEST_DNS_SCRIPT};
  words.insert(words.end(), records.begin(), records.end());
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  out_.reset(fds[0]);
  unique_fd to_parent(fds[1]);
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the sandbox
    if (dup2(to_parent.get(), 1) == 1)
      execv(argv[0], argv.data());
    _exit(127);
  }
  to_parent.reset();
  // "ready" within 20 s, or the case fails.
  struct pollfd ready = {out_.get(), POLLIN, 0};
  char line[6] = {};
  if (pid_ < 0 || poll(&ready, 1, 20000) != 1 ||
      read(out_.get(), line, sizeof line) != 6 ||
      std::memcmp(line, "ready\n", 6) != 0)
    error_ = "the test DNS server did not start (see stderr)";
}

server::~server() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

std::vector<std::string> server::queries() {
  struct pollfd more = {out_.get(), POLLIN, 0};
  char chunk[4096];
  ssize_t n;
  while (poll(&more, 1, 0) == 1 && (n = read(out_.get(), chunk, sizeof chunk)) > 0)
    pending_.append(chunk, static_cast<size_t>(n));
  std::vector<std::string> queries;
  for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    if (pending_.compare(0, 6, "QUERY ") == 0)
      queries.push_back(pending_.substr(6, end - 6));
    pending_.erase(0, end + 1);
  }
  return queries;
}

} // namespace test_dns
