// corvane-admin under conditions a quiet test run does not meet: many
// changes at once, a restrictive umask, entries that would stall the
// plug-in, and a standard output that cannot be written.

#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace e2e;

const std::string ADMIN = CORVANE_ADMIN_PATH;

class AdminHostile : public SandboxTest {
protected:
  // Starts corvane-admin (under the sandbox's wrapper, if any) with an empty
  // environment and stdout and stderr on `out` and `err`; it runs once the
  // pipe `go` is closed by all others. Returns its process id.
  pid_t start(const args_list &args, int out, int err, const int go[2]) {
    std::vector<std::string> words = box_->wrapper();
    words.push_back(ADMIN);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);
    char *no_env[] = {nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      char byte;
      while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
      }
      if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
        _exit(127);
      execve(argv[0], argv.data(), no_env);
      _exit(127);
    }
    return pid;
  }
  static int exit_status(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0)
      if (errno != EINTR)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  mode_t mode_of(const std::string &path) {
    struct stat s;
    return lstat(path.c_str(), &s) == 0 ? s.st_mode & 07777 : 0;
  }
};

TEST_F(AdminHostile, NoSwitchChangeIsLostWhenManyRunAtOnce) {
  std::vector<args_list> changes;
  std::string ipr_names;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "map" + std::to_string(10 + i);
    changes.push_back({"ipr", "enable", name});
    ipr_names += name + "\n";
  }
  const std::string disabled[] = {
      "block_ip_in_addr",     "check_dynamic_reverse_dns",
      "check_ip_reverse_dns", "check_reverse_dns_list",
      "require_full_addr",    "require_helo",
      "valid_helo_domain"};
  const std::string enabled[] = {"known_sender_forgery", "resolve_helo_domain",
                                 "valid_from_domain"};
  std::string disabled_names, enabled_names;
  for (const std::string &rule : disabled) {
    changes.push_back({"rules", "disable", rule});
    disabled_names += rule + "\n";
  }
  for (const std::string &rule : enabled) {
    changes.push_back({"rules", "enable", rule});
    enabled_names += rule + "\n";
  }

  int go[2];
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  const sandbox::UniqueFd quiet(open("/dev/null", O_WRONLY | O_CLOEXEC));
  std::vector<pid_t> started;
  for (const args_list &args : changes)
    started.push_back(start(args, quiet.get(), quiet.get(), go));
  close(go[0]);
  close(go[1]); // all start at once
  for (size_t i = 0; i < started.size(); ++i)
    EXPECT_EQ(exit_status(started[i]), 0) << changes[i][2];

  EXPECT_EQ(box_->read_file("/etc/corvane/control/ipr.enabled"), ipr_names);
  EXPECT_EQ(box_->read_file("/etc/corvane/control/rules.disabled"),
            disabled_names);
  EXPECT_EQ(box_->read_file("/etc/corvane/control/rules.enabled"),
            enabled_names);
  std::vector<std::string> left;
  for (const auto &entry :
       std::filesystem::directory_iterator("/etc/corvane/control"))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (lines{"ipr.enabled", "rules.disabled", "rules.enabled"}));
}

struct created_case {
  args_list change;
  const char *path;
  mode_t mode;
};

TEST_F(AdminHostile, WhatItCreatesThePlugInCanReadWhateverTheUmask) {
  ASSERT_TRUE(box_->remove("/etc/corvane/control"));
  write("/etc/corvane/networks.txt", "192.0.2.0/24\n");
  ASSERT_TRUE(
      box_->write_file("/etc/corvane/exempt_users", "a@example.org\n", 0640));
  const created_case cases[] = {
      {{"list", "blocked_ips", "add", "192.0.2.66"},
       "/etc/corvane/blocked_ips",
       0644},
      {{"rules", "disable", "require_helo"}, "/etc/corvane/control", 0755},
      {{"rules", "enable", "known_sender_forgery"},
       "/etc/corvane/control/rules.enabled",
       0644},
      {{"ipr", "enable", "local"}, "/etc/corvane/control/ipr.enabled", 0644},
      {{"ipr", "build", "/etc/corvane/networks.txt", "/var/cache/ipr/local"},
       "/var/cache/ipr/local",
       0644},
      // A file that is rewritten keeps its mode.
      {{"list", "exempt_users", "add", "b@example.org"},
       "/etc/corvane/exempt_users",
       0640},
  };
  const struct umask_077 {
    mode_t saved = umask(077);
    ~umask_077() { umask(saved); }
  } restrictive;
  for (const created_case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(checked(ADMIN, c.change, {}).exit_status, 0);
    EXPECT_EQ(mode_of(c.path), c.mode);
  }
  EXPECT_EQ(mode_of("/etc/corvane/control/rules.disabled"), 0644u);
  // A switch file that is rewritten keeps its mode too.
  ASSERT_EQ(chmod("/etc/corvane/control/rules.disabled", 0640), 0);
  EXPECT_EQ(
      checked(ADMIN, {"rules", "disable", "valid_helo_domain"}, {}).exit_status,
      0);
  EXPECT_EQ(mode_of("/etc/corvane/control/rules.disabled"), 0640u);
}

struct refusal_case {
  const char *name;
  args_list args;
  int status;
  const char *out, *err;
};

TEST_F(AdminHostile, EntriesThatWouldStallOrNeverMatchAreRefusedUnlessForced) {
  const std::string costly = "*cx*" + std::string(13, '+');
  const std::string costly_refused =
      "corvane-admin: blocked_from: refused: '" + costly +
      "' is too costly: compiling and trying it took more than 1 s of "
      "processor time or 256 MiB of memory; the plug-in would stall on every "
      "command (--force adds it anyway)\n";
  const std::string costly_added = "blocked_from: added '" + costly + "'\n";
  const refusal_case cases[] = {
      {"costly pattern",
       {"list", "blocked_from", "add", costly},
       1,
       "",
       costly_refused.c_str()},
      {"IP written otherwise",
       {"list", "blocked_ips", "add", "0x7f.0.0.1"},
       1,
       "",
       "corvane-admin: blocked_ips: refused: '0x7f.0.0.1' is not written as a "
       "client's address is (four numbers 0 to 255 without leading zeros); it "
       "never matches (--force adds it anyway)\n"},
      {"costly pattern forced",
       {"--force", "list", "blocked_from", "add", costly},
       0,
       costly_added.c_str(),
       ""},
  };
  for (const refusal_case &c : cases) {
    SCOPED_TRACE(c.name);
    run_result r = checked(ADMIN, c.args, {});
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(box_->exists("/etc/corvane/blocked_ips"));
  EXPECT_EQ(box_->read_file("/etc/corvane/blocked_from"), costly + "\n");
}

TEST_F(AdminHostile, OutputThatCannotBeWrittenFailsTheCommand) {
  write("/etc/corvane/blocked_ips", "192.0.2.66\n");
  const args_list commands[] = {{"list", "blocked_ips", "show"}, {"--help"}};
  for (const args_list &args : commands) {
    SCOPED_TRACE(args[0]);
    const sandbox::UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    int err[2], go[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    const pid_t pid = start(args, full.get(), err[1], go);
    close(go[0]);
    close(go[1]);
    close(err[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(err[0], buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<size_t>(n));
    close(err[0]);
    EXPECT_EQ(exit_status(pid), 1);
    EXPECT_EQ(text, "corvane-admin: standard output cannot be written\n");
  }
}

} // namespace
