// Self-test of the end-to-end sandbox: syslog capture, output and status
// capture, file isolation, IPC and network namespaces, wrapper handling.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sandbox.h"

#ifndef LOG_PROBE
#error "LOG_PROBE must be defined to the path of the log_probe program"
#endif

namespace {

using sandbox::log_line;
using sandbox::run_result;
using sandbox::Sandbox;

#define SKIP_IF_UNAVAILABLE()                                                  \
  do {                                                                         \
    std::string reason = Sandbox::unavailable_reason();                        \
    if (!reason.empty())                                                       \
      GTEST_SKIP() << reason;                                                  \
  } while (0)

std::string ns_id(const char *name) {
  char buf[128];
  std::string path = std::string("/proc/self/ns/") + name;
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

bool host_exists(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

std::string host_read(const char *path) {
  std::string content;
  if (FILE *f = fopen(path, "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
      content.append(buf, n);
    fclose(f);
  }
  return content;
}

// Scoped environment variable for the wrapper tests.
class ScopedEnv {
public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    setenv(name, value, 1);
  }
  ~ScopedEnv() { unsetenv(name_); }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  const char *name_;
};

TEST(SyslogParse, GlibcDatagram) {
  log_line line;
  ASSERT_TRUE(Sandbox::parse_syslog(
      "<22>Mar  7 09:05:01 corvane-spp[4711]: accepted: rcpt ok", line));
  EXPECT_EQ(line.priority, LOG_INFO);
  EXPECT_EQ(line.facility, LOG_MAIL);
  EXPECT_EQ(line.ident, "corvane-spp");
  EXPECT_EQ(line.pid, 4711);
  EXPECT_EQ(line.text, "accepted: rcpt ok");
}

TEST(SyslogParse, TrailingNewlineAndNoPid) {
  log_line line;
  ASSERT_TRUE(
      Sandbox::parse_syslog("<153>Dec 31 23:59:59 tool: hello\n", line));
  EXPECT_EQ(line.priority, LOG_ALERT);
  EXPECT_EQ(line.facility, LOG_LOCAL3);
  EXPECT_EQ(line.ident, "tool");
  EXPECT_EQ(line.pid, 0);
  EXPECT_EQ(line.text, "hello");
}

TEST(SyslogParse, EmptyMessageAndGarbage) {
  log_line line;
  ASSERT_TRUE(Sandbox::parse_syslog("<19>Jan  1 00:00:00 x[1]: ", line));
  EXPECT_EQ(line.priority, LOG_ERR);
  EXPECT_EQ(line.text, "");
  EXPECT_FALSE(Sandbox::parse_syslog("no priority here", line));
  EXPECT_EQ(line.priority, -1);
  EXPECT_EQ(line.text, "no priority here");
}

TEST(Sandbox, CapturesStatusOutputEnvironmentAndSyslog) {
  SKIP_IF_UNAVAILABLE();
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  run_result r = sb.run(LOG_PROBE, {}, {"A=1", "B=two words"});
  EXPECT_EQ(r.harness_error, "");
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_FALSE(r.timed_out);
  EXPECT_FALSE(r.wrapper_failed);
  // stdin is /dev/null (read returns 0) and the environment is exactly ours.
  EXPECT_EQ(r.out, "stdin=0\nenv=2\nA=1\nB=two words\n");
  EXPECT_EQ(r.err, "probe stderr\n");
  ASSERT_EQ(r.log.size(), 2u);
  EXPECT_EQ(r.log[0].priority, LOG_INFO);
  EXPECT_EQ(r.log[0].facility, LOG_MAIL);
  EXPECT_EQ(r.log[0].ident, "corvane-probe");
  EXPECT_GT(r.log[0].pid, 1);
  EXPECT_EQ(r.log[0].text, "probe info message");
  EXPECT_EQ(r.log[1].priority, LOG_WARNING);
  EXPECT_EQ(r.log[1].facility, LOG_LOCAL3);
  EXPECT_EQ(r.log[1].pid, r.log[0].pid);
  EXPECT_EQ(r.log[1].text, "probe warning: with colon");
  EXPECT_TRUE(r.logged("probe info message"));
  EXPECT_FALSE(r.logged("probe info"));
  EXPECT_TRUE(r.logged_at(LOG_WARNING, "probe warning: with colon"));
  EXPECT_FALSE(r.logged_at(LOG_INFO, "probe warning: with colon"));
  EXPECT_EQ(r.texts_at(LOG_INFO),
            std::vector<std::string>{"probe info message"});
  EXPECT_TRUE(r.texts_at(LOG_ERR).empty());

  // A second run sees only its own lines.
  run_result again = sb.run(LOG_PROBE, {}, {});
  EXPECT_EQ(again.out, "stdin=0\nenv=0\n");
  EXPECT_EQ(again.log.size(), 2u);
}

TEST(Sandbox, ManyLogLinesArriveInOrderWithoutBlocking) {
  SKIP_IF_UNAVAILABLE();
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  sb.set_timeout(std::chrono::seconds(20));
  run_result r = sb.run(LOG_PROBE, {"many", "2000"}, {});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_EQ(r.log.size(), 2000u);
  for (size_t i = 0; i < r.log.size(); ++i) {
    ASSERT_EQ(r.log[i].text, "line " + std::to_string(i));
    ASSERT_EQ(r.log[i].priority, LOG_DEBUG);
  }
}

TEST(Sandbox, LargeOutputOnBothPipesDoesNotDeadlock) {
  SKIP_IF_UNAVAILABLE();
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  sb.set_timeout(std::chrono::seconds(20));
  run_result r = sb.run(LOG_PROBE, {"big", "1000000"}, {});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, std::string(1000000, 'o'));
  EXPECT_EQ(r.err, std::string(1000000, 'e'));
}

TEST(Sandbox, ReportsSignalTimeoutAndExecFailure) {
  SKIP_IF_UNAVAILABLE();
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  run_result term = sb.run(LOG_PROBE, {"term"}, {});
  EXPECT_EQ(term.exit_status, -1);
  EXPECT_EQ(term.term_signal, SIGTERM);
  EXPECT_FALSE(term.timed_out);

  sb.set_timeout(std::chrono::milliseconds(300));
  run_result slow = sb.run(LOG_PROBE, {"sleep", "30"}, {});
  EXPECT_TRUE(slow.timed_out);
  EXPECT_EQ(slow.term_signal, SIGKILL);
  EXPECT_EQ(slow.exit_status, -1);
  EXPECT_NE(slow.harness_error, "");

  run_result missing = sb.run("/nonexistent/corvane-spp", {}, {});
  EXPECT_EQ(missing.exit_status, 127);
  EXPECT_NE(missing.harness_error.find("No such file"), std::string::npos)
      << missing.harness_error;
}

TEST(Sandbox, FilesAreVisibleToTheChildAndFreshInEachSandbox) {
  SKIP_IF_UNAVAILABLE();
  const char *path = "/etc/corvane/control/selftest-fresh";
  ASSERT_FALSE(host_exists(path)) << "leftover on the host: " << path;
  {
    Sandbox sb;
    ASSERT_TRUE(sb.ok()) << sb.error();
    for (const std::string &root : Sandbox::tmpfs_roots()) {
      EXPECT_TRUE(sb.exists(root)) << root;
    }
    EXPECT_TRUE(sb.exists("/etc/corvane/dynaregex"));
    EXPECT_TRUE(sb.exists("/var/cores/corvane"));
    EXPECT_FALSE(sb.exists(path));
    ASSERT_TRUE(sb.write_file(path, "one\ntwo\n", 0600));
    EXPECT_TRUE(sb.exists(path));
    EXPECT_EQ(sb.read_file(path), "one\ntwo\n");
    struct stat st;
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    run_result r = sb.run(LOG_PROBE, {"cat", path}, {});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "one\ntwo\n");

    ASSERT_TRUE(sb.write_file("/var/log/corvane/deep/er/file.log", "x"));
    EXPECT_EQ(sb.read_file("/var/log/corvane/deep/er/file.log"), "x");
    EXPECT_TRUE(sb.remove("/var/log/corvane/deep"));
    EXPECT_FALSE(sb.exists("/var/log/corvane/deep"));
  }
  EXPECT_FALSE(host_exists(path)) << "sandbox file leaked to the host";
  Sandbox next;
  ASSERT_TRUE(next.ok()) << next.error();
  EXPECT_FALSE(next.exists(path));
  EXPECT_EQ(next.read_file(path), "");
}

TEST(Sandbox, RefusesWritesOutsideItsTmpfs) {
  SKIP_IF_UNAVAILABLE();
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  EXPECT_FALSE(sb.write_file("/tmp/corvane-selftest-outside", "x"));
  EXPECT_FALSE(host_exists("/tmp/corvane-selftest-outside"));
  EXPECT_FALSE(sb.write_file("/etc/corvane/../passwd-selftest", "x"));
  EXPECT_FALSE(sb.write_file("relative/path", "x"));
  EXPECT_FALSE(sb.remove("/etc/hostname"));
  EXPECT_FALSE(sb.remove("/etc/corvane"));
  EXPECT_TRUE(sb.exists("/etc/hostname") || !host_exists("/etc/hostname"));
}

TEST(Sandbox, IpcNamespaceIsPrivate) {
  SKIP_IF_UNAVAILABLE();
  key_t key = ftok("/bin/bash", 45);
  ASSERT_NE(key, -1);
  const bool on_host = shmget(key, 0, 0) >= 0;
  {
    Sandbox sb;
    ASSERT_TRUE(sb.ok()) << sb.error();
    EXPECT_LT(shmget(key, 0, 0), 0) << "host segment visible in the sandbox";
    // Created by the child, seen by the test process in the same sandbox.
    run_result r = sb.run(LOG_PROBE, {"shm", "45"}, {});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    int id = shmget(key, 0, 0);
    EXPECT_GE(id, 0);
    EXPECT_EQ(std::to_string(id) + "\n", r.out);
  }
  EXPECT_EQ(shmget(key, 0, 0) >= 0, on_host);
  Sandbox next;
  ASSERT_TRUE(next.ok()) << next.error();
  EXPECT_LT(shmget(key, 0, 0), 0) << "segment survived into a new sandbox";
}

TEST(Sandbox, LoopbackIsUpAndNothingElse) {
  SKIP_IF_UNAVAILABLE();
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  struct if_nameindex *ifs = if_nameindex();
  ASSERT_NE(ifs, nullptr);
  std::vector<std::string> names;
  for (struct if_nameindex *i = ifs; i->if_index != 0; ++i) {
    names.push_back(i->if_name);
  }
  if_freenameindex(ifs);
  EXPECT_EQ(names, std::vector<std::string>{"lo"});

  sandbox::UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr),
            0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len),
            0);
  ASSERT_EQ(sendto(fd.get(), "ping", 4, 0, reinterpret_cast<sockaddr *>(&addr),
                   sizeof addr),
            4);
  char buf[8];
  EXPECT_EQ(recv(fd.get(), buf, sizeof buf, 0), 4);
}

TEST(Sandbox, DevIsPrivateAndNamespacesAreRestored) {
  SKIP_IF_UNAVAILABLE();
  const std::string mnt = ns_id("mnt"), ipc = ns_id("ipc"), net = ns_id("net");
  const std::string dir = cwd();
  const bool host_log = host_exists("/dev/log");
  struct stat host_st = {};
  if (host_log)
    stat("/dev/log", &host_st);
  {
    Sandbox sb;
    ASSERT_TRUE(sb.ok()) << sb.error();
    EXPECT_NE(ns_id("mnt"), mnt);
    EXPECT_NE(ns_id("ipc"), ipc);
    EXPECT_NE(ns_id("net"), net);
    struct stat st;
    ASSERT_EQ(stat("/dev/log", &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_GE(sb.log_fd(), 0);
    EXPECT_EQ(sb.drain_log(), 0u);
    // Senders must not block after 10 queued datagrams (the default).
    EXPECT_EQ(sb.read_file("/proc/sys/net/unix/max_dgram_qlen"), "65536\n");
  }
  EXPECT_EQ(ns_id("mnt"), mnt);
  EXPECT_EQ(ns_id("ipc"), ipc);
  EXPECT_EQ(ns_id("net"), net);
  EXPECT_EQ(cwd(), dir);
  EXPECT_EQ(host_exists("/dev/log"), host_log);
  if (host_log) {
    struct stat st;
    ASSERT_EQ(stat("/dev/log", &st), 0);
    EXPECT_EQ(st.st_ino, host_st.st_ino);
  }
}

TEST(Sandbox, DnsHookPointsResolverAtLocalhost) {
  SKIP_IF_UNAVAILABLE();
  if (!host_exists("/etc/resolv.conf") || !host_exists("/etc/nsswitch.conf")) {
    GTEST_SKIP() << "no /etc/resolv.conf or /etc/nsswitch.conf to cover";
  }
  const std::string host_resolv = host_read("/etc/resolv.conf");
  const std::string host_nss = host_read("/etc/nsswitch.conf");
  {
    Sandbox sb;
    ASSERT_TRUE(sb.ok()) << sb.error();
    ASSERT_TRUE(sb.use_dns_server_at_localhost()) << sb.error();
    EXPECT_EQ(sb.read_file("/etc/resolv.conf"),
              "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
    EXPECT_EQ(sb.read_file("/etc/nsswitch.conf"), "hosts: dns\n");
  }
  EXPECT_EQ(host_read("/etc/resolv.conf"), host_resolv);
  EXPECT_EQ(host_read("/etc/nsswitch.conf"), host_nss);
}

TEST(Sandbox, WrapperPrefixIsApplied) {
  SKIP_IF_UNAVAILABLE();
  ScopedEnv wrap(Sandbox::kWrapperEnv, "env  -u UNSET_SELFTEST_VAR");
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  ASSERT_EQ(sb.wrapper().size(), 3u);
  EXPECT_EQ(sb.wrapper()[0].front(), '/'); // resolved through PATH
  run_result r = sb.run(LOG_PROBE, {}, {"A=1"});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "stdin=0\nenv=1\nA=1\n");
  EXPECT_FALSE(r.wrapper_failed);
  EXPECT_EQ(r.log.size(), 2u);
}

TEST(Sandbox, ValgrindWrapperReportsLeaks) {
  SKIP_IF_UNAVAILABLE();
  if (access("/usr/bin/valgrind", X_OK) != 0)
    GTEST_SKIP() << "no valgrind";
  ScopedEnv wrap(Sandbox::kWrapperEnv,
                 "/usr/bin/valgrind -q --error-exitcode=99 --leak-check=full "
                 "--errors-for-leak-kinds=definite,indirect");
  Sandbox sb;
  ASSERT_TRUE(sb.ok()) << sb.error();
  run_result clean = sb.run(LOG_PROBE, {}, {"A=1"});
  EXPECT_EQ(clean.exit_status, 3) << clean.err;
  EXPECT_FALSE(clean.wrapper_failed) << clean.err;
  EXPECT_EQ(clean.log.size(), 2u);
  run_result leaky = sb.run(LOG_PROBE, {"leak"}, {});
  EXPECT_EQ(leaky.exit_status, Sandbox::kWrapperErrorExit);
  EXPECT_TRUE(leaky.wrapper_failed);
  EXPECT_NE(leaky.err.find("definitely lost"), std::string::npos) << leaky.err;
}

} // namespace
