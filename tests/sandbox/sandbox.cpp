// End-to-end sandbox: namespaces made in a child, tmpfs at the plug-in's
// fixed paths, a private /dev with a syslog socket, a local resolver, and a
// runner that captures a program's exit, stdout, stderr and syslog lines.
#include "sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sandbox {
namespace {

std::string failed(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string read_all(int fd) {
  std::string data;
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno != EINTR)
      break;
    if (n > 0)
      data.append(chunk, static_cast<std::size_t>(n));
  }
  return data;
}

bool mkdir_p(const std::string &path) {
  for (std::size_t end = 1; end <= path.size(); ++end)
    if ((end == path.size() || path[end] == '/') &&
        ::mkdir(path.substr(0, end).c_str(), 0755) != 0 && errno != EEXIST)
      return false;
  return true;
}

bool write_new(const std::string &path, std::string_view content, mode_t mode) {
  unique_fd fd(::open(path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                      mode));
  return fd && write_all(fd.get(), content) && ::fchmod(fd.get(), mode) == 0;
}

// Private mount and network namespaces (plus `more`), loopback up, room for
// many queued syslog datagrams (a sender blocks once the receiver holds
// net.unix.max_dgram_qlen of them, 10 by default), and a private /dev: a
// tmpfs holding the harmless nodes of the real /dev, bound in through a
// descriptor of the real one, which the tmpfs hides.
std::string enter_namespaces(int more) {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET | more) != 0)
    return failed("unshare");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return failed("mount(/, MS_REC|MS_PRIVATE)");
  unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct ifreq lo {};
  std::strcpy(lo.ifr_name, "lo");
  if (!sock || ::ioctl(sock.get(), SIOCGIFFLAGS, &lo) != 0)
    return failed("loopback flags");
  lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP | IFF_RUNNING);
  if (::ioctl(sock.get(), SIOCSIFFLAGS, &lo) != 0)
    return failed("loopback up");
  unique_fd qlen(
      ::open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY | O_CLOEXEC));
  if (!qlen || !write_all(qlen.get(), "65536\n"))
    return failed("raise net.unix.max_dgram_qlen");

  unique_fd real(::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!real || ::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
    return failed("tmpfs on /dev");
  const std::string old = "/proc/self/fd/" + std::to_string(real.get()) + "/";
  for (const char *node :
       {"null", "zero", "full", "random", "urandom", "tty"}) {
    const std::string path = std::string("/dev/") + node;
    struct stat st;
    if (::fstatat(real.get(), node, &st, 0) != 0 && path != "/dev/null")
      continue; // an optional node this host lacks
    if (!write_new(path, "", 0666) ||
        ::mount((old + node).c_str(), path.c_str(), nullptr, MS_BIND,
                nullptr) != 0)
      return failed("bind " + path);
  }
  const char *links[][2] = {{"fd", "/proc/self/fd"},
                            {"stdin", "/proc/self/fd/0"},
                            {"stdout", "/proc/self/fd/1"},
                            {"stderr", "/proc/self/fd/2"}};
  for (const auto &link : links)
    if (::symlink(link[1], (std::string("/dev/") + link[0]).c_str()) != 0)
      return failed("symlink /dev/" + std::string(link[0]));
  if (::mkdir("/dev/shm", 01777) != 0 || ::chmod("/dev/shm", 01777) != 0)
    return failed("mkdir /dev/shm");
  return "";
}

std::string bind_log_socket(unique_fd &fd) {
  fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int size = 32 << 20;
  if (!fd ||
      (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) !=
           0 &&
       ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0))
    return failed("syslog socket");
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  ::unlink(addr.sun_path);
  if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::chmod(addr.sun_path, 0666) != 0)
    return failed("bind /dev/log");
  return "";
}

std::vector<log_line> receive(int fd) {
  std::vector<log_line> lines;
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return lines;
    lines.push_back(parse_syslog({buf.data(), static_cast<std::size_t>(n)}));
  }
}

} // namespace

struct setup {
  static std::string make(Sandbox &box) {
    std::string error = enter_namespaces(CLONE_NEWIPC);
    if (!error.empty())
      return error;
    for (const std::string &root : Sandbox::tmpfs_roots()) {
      struct stat st;
      if (!mkdir_p(root) ||
          ::mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  "mode=0755") != 0 ||
          ::stat(root.c_str(), &st) != 0)
        return failed("tmpfs on " + root);
      box.roots_.emplace_back(root, st.st_dev);
    }
    for (const char *dir : {"/etc/corvane/control", "/etc/corvane/dynaregex",
                            "/var/cores/corvane"})
      if (::mkdir(dir, 0755) != 0)
        return failed(std::string("mkdir ") + dir);
    // The resolver asks 127.0.0.1 only, once, and gives up after a second.
    const char *resolver[][2] = {
        {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"},
        {"nsswitch.conf", "hosts: dns\n"}};
    for (const auto &[name, content] : resolver) {
      const std::string copy = std::string("/dev/.") + name;
      const std::string target = std::string("/etc/") + name;
      if (!write_new(copy, content, 0644) ||
          ::mount(copy.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return failed("bind " + target);
    }
    std::istringstream wrapper(getenv(Sandbox::kWrapperEnv) ?: "");
    for (std::string word; wrapper >> word;)
      box.wrapper_.push_back(word);
    return bind_log_socket(box.log_fd_);
  }
};

const std::vector<std::string> &Sandbox::tmpfs_roots() {
  static const std::vector<std::string> roots = {
      "/etc/corvane", "/var/log/corvane", "/var/cache/ipr", "/var/cores"};
  return roots;
}

bool Sandbox::write_file(const std::string &path, std::string_view content,
                         mode_t mode) {
  if (path.find("/..") != std::string::npos)
    return false;
  for (const auto &[root, dev] : roots_) {
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) ||
        path[root.size()] != '/')
      continue;
    // Never through to the host: the root must still be this tmpfs.
    struct stat st;
    return ::stat(root.c_str(), &st) == 0 && st.st_dev == dev &&
           mkdir_p(path.substr(0, path.rfind('/'))) &&
           write_new(path, content, mode);
  }
  return false;
}

std::string Sandbox::read_file(const std::string &path) {
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd ? read_all(fd.get()) : std::string();
}

std::vector<log_line> Sandbox::read_log() { return receive(log_fd_.get()); }

run_result Sandbox::run(const std::string &program,
                        const std::vector<std::string> &args,
                        const std::vector<std::string> &env,
                        const char *stdout_path) {
  run_result r;
  drain_log(); // only this run's lines
  std::vector<std::string> words = wrapper_, vars = env;
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv, envp;
  for (std::string &word : words)
    argv.push_back(word.data());
  for (std::string &var : vars)
    envp.push_back(var.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    r.err = failed("pipe");
    return r;
  }
  unique_fd out_r(out[0]), out_w(out[1]), err_r(err[0]), err_w(err[1]);
  const mode_t mask = umask;
  const pid_t pid = ::fork();
  if (pid < 0) {
    r.err = failed("fork");
    return r;
  }
  if (pid == 0) { // only async-signal-safe calls from here on
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
      ::signal(sig, SIG_DFL);
    ::umask(mask);
    int in = ::open("/dev/null", O_RDONLY);
    int to = stdout_path ? ::open(stdout_path, O_WRONLY) : out_w.get();
    if (in < 0 || to < 0 || ::dup2(in, 0) < 0 || ::dup2(to, 1) < 0 ||
        ::dup2(err_w.get(), 2) < 0)
      ::_exit(127);
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::dprintf(2, "exec %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  out_w.reset();
  err_w.reset();
  unique_fd pid_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  bool exited = false;
  while (!exited || out_r || err_r) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) { // the whole group goes, stragglers too
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    struct pollfd fds[] = {{out_r.get(), POLLIN, 0},
                           {err_r.get(), POLLIN, 0},
                           {log_fd_.get(), POLLIN, 0},
                           {exited ? -1 : pid_fd.get(), POLLIN, 0}};
    if (::poll(fds, 4, static_cast<int>(left.count()) + 1) < 0 &&
        errno != EINTR)
      break;
    const std::pair<unique_fd *, std::string *> pipes[] = {{&out_r, &r.out},
                                                           {&err_r, &r.err}};
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents)
        continue;
      char chunk[65536];
      ssize_t n = ::read(pipes[i].first->get(), chunk, sizeof chunk);
      if (n > 0)
        pipes[i].second->append(chunk, static_cast<std::size_t>(n));
      else if (n == 0 || errno != EINTR)
        pipes[i].first->reset();
    }
    if (fds[2].revents)
      for (log_line &line : read_log())
        r.log.push_back(std::move(line));
    if (fds[3].revents)
      exited = ::waitpid(pid, &status, WNOHANG) == pid;
  }
  while (!exited && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  for (log_line &line : read_log()) // syslog() sends synchronously
    r.log.push_back(std::move(line));
  if (WIFEXITED(status))
    r.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    r.term_signal = WTERMSIG(status);
  r.wrapper_failed = !wrapper_.empty() && r.exit_status == kWrapperErrorExit;
  return r;
}

outcome in_sandbox(const std::function<std::string(Sandbox &)> &body) {
  outcome result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.error = failed("pipe");
    return result;
  }
  unique_fd from_child(fds[0]), to_parent(fds[1]);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    from_child.reset();
    Sandbox box;
    const std::string error = setup::make(box);
    const std::string message = error.empty() ? "R" + body(box) : "E" + error;
    std::fflush(nullptr);
    ::_exit(write_all(to_parent.get(), message) ? 0 : 1);
  }
  to_parent.reset();
  const std::string message = pid < 0 ? "" : read_all(from_child.get());
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid < 0)
    result.error = failed("fork");
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || message.empty())
    result.error = "the sandbox process ended abnormally (wait status " +
                   std::to_string(status) + ")";
  else if (message[0] == 'E')
    result.error = "sandbox set-up: " + message.substr(1);
  else
    result = {true, "", message.substr(1)};
  return result;
}

const std::string &unavailable_reason() {
  static const std::string reason = [] {
    if (::geteuid() != 0)
      return std::string("the sandbox needs root");
    return in_sandbox([](Sandbox &) { return std::string(); }).error;
  }();
  return reason;
}

log_capture::log_capture() {
  static const std::string moved = enter_namespaces(0);
  error_ = moved.empty() ? bind_log_socket(fd_) : moved;
  if (!error_.empty())
    fd_.reset();
}

log_capture::~log_capture() {
  if (fd_) {
    fd_.reset();
    ::unlink("/dev/log");
  }
}

std::vector<log_line> log_capture::read_log() { return receive(fd_.get()); }

log_line parse_syslog(std::string_view datagram) {
  log_line line;
  const std::string d(datagram.substr(0, datagram.find_last_not_of('\n') + 1));
  int pri = 0, header = 0; // "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
  const std::size_t colon =
      std::sscanf(d.c_str(), "<%d>%*s %*s %*s %n", &pri, &header) == 1
          ? d.find(": ", static_cast<std::size_t>(header))
          : std::string::npos;
  if (!header || colon == std::string::npos) {
    line.text = d;
    return line;
  }
  line.priority = pri & 7;
  line.facility = pri & ~7;
  line.ident =
      d.substr(static_cast<std::size_t>(header),
               std::min(colon, d.find('[', static_cast<std::size_t>(header))) -
                   static_cast<std::size_t>(header));
  line.text = d.substr(colon + 2);
  return line;
}

} // namespace sandbox
