// End-to-end sandbox: namespaces made in a child, tmpfs at the plug-in's
// fixed paths, a private /dev with a syslog socket, a local resolver, and
// runs whose exit, stdout, stderr and syslog lines it captures.
#include "sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace sandbox {
namespace {

const char *const ROOTS[] = {"/etc/corvane", "/var/log/corvane",
                             "/var/cache/ipr", "/var/cache/corvane",
                             "/var/cores"};

std::string failed(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

// A new file of exactly `content` (one write: a tmpfs file or a memfd).
bool write_new(int fd, std::string_view content, mode_t mode = 0) {
  return ::write(fd, content.data(), content.size()) ==
             static_cast<ssize_t>(content.size()) &&
         (!mode || ::fchmod(fd, mode) == 0);
}
bool write_new(const std::string &path, std::string_view content, mode_t mode) {
  unique_fd fd(::open(path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                      mode));
  return fd && write_new(fd.get(), content, mode);
}

// The folders above `path` (0755).
bool make_parents(const std::string &path) {
  std::error_code error;
  std::filesystem::create_directories(path.substr(0, path.rfind('/')), error);
  return !error;
}

std::string read_fd(const unique_fd &fd) {
  return Sandbox::read_file("/proc/self/fd/" + std::to_string(fd.get()));
}

// Private mount and network namespaces (plus `more`), loopback up, room for
// many queued syslog datagrams, and a private /dev: a tmpfs holding the
// harmless nodes of the real /dev, bound in through a descriptor of it.
std::string enter_namespaces(int more) {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET | more) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return failed("private namespaces");
  unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct ifreq lo {};
  std::strcpy(lo.ifr_name, "lo");
  lo.ifr_flags = IFF_UP;
  if (!sock || ::ioctl(sock.get(), SIOCSIFFLAGS, &lo) != 0)
    return failed("loopback up");
  if (!(std::ofstream("/proc/sys/net/unix/max_dgram_qlen") << "65536\n"
                                                           << std::flush))
    return failed("raise net.unix.max_dgram_qlen");
  unique_fd real(::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!real || ::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
    return failed("tmpfs on /dev");
  for (const char *node :
       {"null", "zero", "full", "random", "urandom", "tty"}) {
    const std::string path = std::string("/dev/") + node,
                      old = "/proc/self/fd/" + std::to_string(real.get()) +
                            "/" + node;
    if (::faccessat(real.get(), node, F_OK, 0) == 0 && // the host has it
        (!write_new(path, "", 0666) ||
         ::mount(old.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0))
      return failed("bind " + path);
  }
  return "";
}

std::string bind_log_socket(unique_fd &fd) {
  fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int size = 32 << 20;
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  ::unlink(addr.sun_path);
  if (!fd ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) ||
      ::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::chmod(addr.sun_path, 0666) != 0) // any user logs, as on a host
    return failed("syslog socket at /dev/log");
  return "";
}

// "<PRI>Mmm dd hh:mm:ss ident[pid]: message" as a log_line.
log_line parse_syslog(std::string d) {
  log_line line;
  line.datagram = d;
  d.erase(d.find_last_not_of('\n') + 1);
  int pri = 0, header = 0;
  std::sscanf(d.c_str(), "<%d>%*s %*s %*s %n", &pri, &header);
  const auto at = static_cast<std::size_t>(header);
  const std::size_t colon = at ? d.find(": ", at) : std::string::npos;
  line.text = colon == std::string::npos ? d : d.substr(colon + 2);
  if (colon != std::string::npos) {
    line.priority = pri & 7;
    line.facility = pri & ~7;
    line.ident = d.substr(at, std::min(colon, d.find('[', at)) - at);
  }
  return line;
}

std::vector<log_line> receive(int fd) {
  std::vector<log_line> lines;
  std::vector<char> buf(1 << 20);
  for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT)) >= 0 ||
                  errno == EINTR;)
    if (n >= 0)
      lines.push_back(parse_syslog({buf.data(), static_cast<std::size_t>(n)}));
  return lines;
}

} // namespace

struct setup {
  static std::string make(Sandbox &box) {
    std::string error = enter_namespaces(CLONE_NEWIPC);
    for (const char *root : ROOTS)
      if (error.empty() &&
          (!make_parents(std::string(root) + "/") ||
           ::mount("tmpfs", root, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755")))
        error = failed(std::string("tmpfs on ") + root);
    // The resolver asks 127.0.0.1 only, once, and gives up after a second.
    const char *resolver[][2] = {
        {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"},
        {"nsswitch.conf", "hosts: dns\n"}};
    for (const auto &[name, content] : resolver) {
      const std::string copy = std::string("/dev/.") + name,
                        target = std::string("/etc/") + name;
      if (error.empty() &&
          (!write_new(copy, content, 0644) ||
           ::mount(copy.c_str(), target.c_str(), nullptr, MS_BIND, nullptr)))
        error = failed("bind " + target);
    }
    std::istringstream wrapper(getenv(Sandbox::kWrapperEnv) ?: "");
    for (std::string word; wrapper >> word;)
      box.wrapper_.push_back(word);
    return error.empty() ? bind_log_socket(box.log_fd_) : error;
  }
};

bool Sandbox::write_file(const std::string &path, std::string_view content,
                         mode_t mode) {
  for (const std::string root : ROOTS)
    if (path.rfind(root + "/", 0) == 0 && path.find("/..") == path.npos)
      return make_parents(path) && write_new(path, content, mode);
  return false;
}

std::string Sandbox::read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<log_line> Sandbox::read_log() { return receive(log_fd_.get()); }

run_result Sandbox::run(const std::string &program,
                        const std::vector<std::string> &args,
                        const std::vector<std::string> &env,
                        const char *stdout_path) {
  run_result r;
  read_log(); // only this run's lines
  std::vector<std::string> words = wrapper_, vars = env;
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv, envp;
  for (auto [from, to] : {std::pair{&words, &argv}, {&vars, &envp}}) {
    for (std::string &word : *from)
      to->push_back(word.data());
    to->push_back(nullptr);
  }
  unique_fd out(::memfd_create("stdout", MFD_CLOEXEC)),
      err(::memfd_create("stderr", MFD_CLOEXEC));
  const mode_t mask = umask;
  const uid_t user = uid;
  const pid_t pid = out && err ? ::fork() : -1;
  if (pid == 0) { // only async-signal-safe calls from here on
    ::setpgid(0, 0);
    ::umask(mask);
    if (user && (::setgroups(0, nullptr) || ::setgid(user) || ::setuid(user)))
      ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    const int to = stdout_path ? ::open(stdout_path, O_WRONLY) : out.get();
    if (in < 0 || to < 0 || ::dup2(in, 0) < 0 || ::dup2(to, 1) < 0 ||
        ::dup2(err.get(), 2) < 0)
      ::_exit(127);
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::dprintf(2, "exec %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  if (pid < 0) {
    r.err = failed("memfd or fork");
    return r;
  }
  ::setpgid(pid, pid);
  unique_fd pid_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (bool exited = false; !exited;) { // reading the log, lest it block
    struct pollfd fds[] = {{pid_fd.get(), POLLIN, 0},
                           {log_fd_.get(), POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(fds, 2, int(left.count()) + 1) == 0) {
      ::kill(-pid, SIGKILL); // the whole group, stragglers too
      r.timed_out = true;
      break;
    }
    exited = fds[0].revents != 0;
    for (log_line &line : read_log())
      r.log.push_back(std::move(line));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  r.out = read_fd(out);
  r.err = read_fd(err);
  for (log_line &line : read_log()) // syslog() sends before the exit
    r.log.push_back(std::move(line));
  return r;
}

outcome in_sandbox(const std::function<std::string(Sandbox &)> &body) {
  unique_fd report(::memfd_create("report", MFD_CLOEXEC));
  std::fflush(nullptr);
  const pid_t pid = report ? ::fork() : -1;
  if (pid == 0) { // 0: the body's report, 2: why there is no sandbox
    Sandbox box;
    const std::string error = setup::make(box);
    const bool made = error.empty() && write_new(report.get(), body(box));
    std::fflush(nullptr);
    ::_exit(made ? 0 : write_new(report.get(), error) ? 2 : 1);
  }
  int status = -1;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string text = read_fd(report);
  if (pid < 0 || status != 0)
    return {false,
            pid < 0            ? failed("memfd or fork")
            : status == 2 << 8 ? "sandbox set-up: " + text
                               : "the sandbox process ended with wait status " +
                                     std::to_string(status),
            ""};
  return {true, "", text};
}

const std::string &unavailable_reason() {
  static const std::string reason =
      ::geteuid() != 0
          ? "the sandbox needs root"
          : in_sandbox([](Sandbox &) { return std::string(); }).error;
  return reason;
}

log_capture::log_capture() {
  static const std::string moved = enter_namespaces(0);
  error_ = moved.empty() ? bind_log_socket(fd_) : moved;
  if (!error_.empty())
    fd_.reset();
}

log_capture::~log_capture() {
  if (fd_)
    ::unlink("/dev/log");
}

std::vector<log_line> log_capture::read_log() { return receive(fd_.get()); }

} // namespace sandbox
