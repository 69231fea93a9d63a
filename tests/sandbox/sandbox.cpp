// End-to-end sandbox: private namespaces, tmpfs at the plug-in's fixed paths,
// private /dev with a syslog socket, and a runner that captures a program's
// exit, stdout, stderr and syslog lines.
#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
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
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sandbox {
namespace {

constexpr const char *kDevNodes[] = {"null",   "zero", "urandom",
                                     "random", "tty",  "full"};
constexpr const char *kDevLinks[][2] = {{"fd", "/proc/self/fd"},
                                        {"stdin", "/proc/self/fd/0"},
                                        {"stdout", "/proc/self/fd/1"},
                                        {"stderr", "/proc/self/fd/2"}};
constexpr const char *kPrivateEtc = "/dev/.corvane-etc"; // private tmpfs
constexpr int kLogQueueLength = 65536;                   // datagrams
constexpr int kLogRcvBuf = 32 << 20;                     // bytes
constexpr std::size_t kMaxDatagram = 256 << 10;
constexpr auto kPipeGrace = std::chrono::seconds(2);

std::string errno_text(int err) { return std::strerror(err); }

bool is_dir(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; true if the directory exists afterwards.
bool mkdir_p(const std::string &path, mode_t mode) {
  if (path.empty())
    return false;
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/')
      continue;
    std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
      return false;
  }
  return is_dir(path);
}

bool write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool write_small_file(const std::string &path, std::string_view content,
                      mode_t mode) {
  UniqueFd fd(::open(path.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                     mode));
  if (!fd)
    return false;
  if (!write_all(fd.get(), content.data(), content.size()))
    return false;
  return ::fchmod(fd.get(), mode) == 0;
}

// Absolute, no "." or ".." components, no trailing slash.
bool clean_absolute(const std::string &path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/')
    return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos)
      end = path.size();
    std::string_view part(path.data() + start, end - start);
    if (part.empty() || part == "." || part == "..")
      return false;
    start = end + 1;
  }
  return true;
}

std::string find_in_path(const std::string &name) {
  if (name.empty() || name.find('/') != std::string::npos)
    return name;
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    // An empty PATH entry means the current directory.
    std::string candidate =
        end > start ? dirs.substr(start, end - start) : std::string(1, '.');
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return name; // execve will report ENOENT
}

std::vector<std::string> split_blanks(const char *text) {
  std::vector<std::string> words;
  if (!text)
    return words;
  std::string word;
  for (const char *p = text;; ++p) {
    if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\n') {
      if (!word.empty())
        words.push_back(word);
      word.clear();
      if (*p == '\0')
        break;
    } else {
      word += *p;
    }
  }
  return words;
}

int thread_count() {
  DIR *dir = ::opendir("/proc/self/task");
  if (!dir)
    return -1;
  int count = 0;
  while (struct dirent *entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  ::closedir(dir);
  return count;
}

int remove_entry(const char *path, const struct stat *, int type,
                 struct FTW *) {
  int rc = (type == FTW_DP) ? ::rmdir(path) : ::unlink(path);
  return rc == 0 || errno == ENOENT ? 0 : -1;
}

std::chrono::steady_clock::time_point now() {
  return std::chrono::steady_clock::now();
}

} // namespace

// ---- run_result ----------------------------------------------------------

bool run_result::logged(std::string_view text) const {
  for (const log_line &line : log) {
    if (line.text == text)
      return true;
  }
  return false;
}

bool run_result::logged_at(int priority, std::string_view text) const {
  for (const log_line &line : log) {
    if (line.priority == priority && line.text == text)
      return true;
  }
  return false;
}

std::vector<std::string> run_result::texts_at(int priority) const {
  std::vector<std::string> texts;
  for (const log_line &line : log) {
    if (line.priority == priority)
      texts.push_back(line.text);
  }
  return texts;
}

std::vector<std::string> run_result::texts() const {
  std::vector<std::string> texts;
  texts.reserve(log.size());
  for (const log_line &line : log)
    texts.push_back(line.text);
  return texts;
}

// ---- syslog parsing ------------------------------------------------------

bool Sandbox::parse_syslog(std::string_view datagram, log_line &out) {
  out = log_line{};
  while (!datagram.empty() &&
         (datagram.back() == '\n' || datagram.back() == '\0')) {
    datagram.remove_suffix(1);
  }
  std::size_t close = datagram.find('>');
  bool have_pri = datagram.size() >= 3 && datagram[0] == '<' &&
                  close != std::string_view::npos && close >= 2 && close <= 4;
  int pri = 0;
  for (std::size_t i = 1; have_pri && i < close; ++i) {
    if (datagram[i] < '0' || datagram[i] > '9')
      have_pri = false;
    pri = pri * 10 + (datagram[i] - '0');
  }
  if (!have_pri) {
    out.priority = -1;
    out.facility = -1;
    out.text = std::string(datagram);
    return false;
  }
  out.priority = pri & 7;
  out.facility = pri & ~7;
  std::string_view rest = datagram.substr(close + 1);

  // Timestamp: "Mmm dd hh:mm:ss " (glibc); tolerate an ISO one as well.
  if (rest.size() >= 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':' &&
      rest[12] == ':' && rest[15] == ' ') {
    rest.remove_prefix(16);
  } else if (!rest.empty() && rest[0] >= '0' && rest[0] <= '9') {
    std::size_t space = rest.find(' ');
    std::string_view token = rest.substr(0, space);
    if (token.find('T') != std::string_view::npos &&
        token.find(':') != std::string_view::npos &&
        space != std::string_view::npos) {
      rest.remove_prefix(space + 1);
    }
  }

  std::size_t colon = rest.find(": ");
  if (colon == std::string_view::npos) {
    out.text = std::string(rest);
    return true;
  }
  std::string_view header = rest.substr(0, colon);
  out.text = std::string(rest.substr(colon + 2));
  std::size_t open = header.rfind('[');
  if (!header.empty() && header.back() == ']' &&
      open != std::string_view::npos) {
    out.ident = std::string(header.substr(0, open));
    int pid = 0;
    for (char c : header.substr(open + 1, header.size() - open - 2)) {
      if (c < '0' || c > '9') {
        pid = 0;
        break;
      }
      pid = pid * 10 + (c - '0');
    }
    out.pid = pid;
  } else {
    out.ident = std::string(header);
  }
  return true;
}

// ---- availability --------------------------------------------------------

const std::vector<std::string> &Sandbox::tmpfs_roots() {
  static const std::vector<std::string> roots = {
      "/etc/corvane", "/var/log/corvane", "/var/cache/ipr", "/var/cores"};
  return roots;
}

std::string Sandbox::unavailable_reason() {
  static bool checked = false;
  static std::string reason;
  if (checked)
    return reason;
  checked = true;
  if (::geteuid() != 0) {
    reason = "end-to-end sandbox needs root (euid " +
             std::to_string(::geteuid()) + ")";
    return reason;
  }
  // Try the privileged steps in a throw-away child.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    reason = "pipe: " + errno_text(errno);
    return reason;
  }
  UniqueFd rd(fds[0]), wr(fds[1]);
  pid_t pid = ::fork();
  if (pid < 0) {
    reason = "fork: " + errno_text(errno);
    return reason;
  }
  if (pid == 0) {
    const char *step = nullptr;
    if (::unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET) != 0) {
      step = "unshare(CLONE_NEWNS|CLONE_NEWIPC|CLONE_NEWNET)";
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) !=
               0) {
      step = "mount(/, MS_REC|MS_PRIVATE)";
    } else if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0755") != 0) {
      step = "mount(tmpfs)";
    }
    if (step) {
      char msg[256];
      int len = std::snprintf(msg, sizeof msg, "%s refused: %s", step,
                              std::strerror(errno));
      if (len > 0)
        (void)!::write(wr.get(), msg, static_cast<size_t>(len));
      ::_exit(1);
    }
    ::_exit(0);
  }
  wr.reset();
  char msg[256];
  ssize_t len;
  do {
    len = ::read(rd.get(), msg, sizeof msg);
  } while (len < 0 && errno == EINTR);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (len > 0) {
    reason.assign(msg, static_cast<std::size_t>(len));
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    reason = "namespace probe failed";
  }
  return reason;
}

// ---- set-up and tear-down ------------------------------------------------

bool Sandbox::fail(const std::string &what) {
  error_ = what + ": " + errno_text(errno);
  return false;
}

Sandbox::Sandbox() {
  wrapper_ = split_blanks(std::getenv(kWrapperEnv));
  if (!wrapper_.empty())
    wrapper_[0] = find_in_path(wrapper_[0]);
  buf_.resize(kMaxDatagram);
  if (set_up()) {
    ok_ = true;
    return;
  }
  std::fprintf(stderr, "corvane sandbox: set-up failed: %s\n", error_.c_str());
  tear_down();
}

Sandbox::~Sandbox() { tear_down(); }

bool Sandbox::set_up() {
  if (::geteuid() != 0) {
    error_ = "needs root";
    return false;
  }
  int threads = thread_count();
  if (threads > 1) {
    error_ = "calling process has " + std::to_string(threads) +
             " threads; setns() back to the saved mount namespace would fail";
    return false;
  }
  saved_mnt_.reset(::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC));
  if (!saved_mnt_)
    return fail("open /proc/self/ns/mnt");
  saved_ipc_.reset(::open("/proc/self/ns/ipc", O_RDONLY | O_CLOEXEC));
  if (!saved_ipc_)
    return fail("open /proc/self/ns/ipc");
  saved_net_.reset(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
  if (!saved_net_)
    return fail("open /proc/self/ns/net");
  saved_cwd_.reset(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!saved_cwd_)
    return fail("open current directory");

  if (::unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET) != 0) {
    return fail("unshare(CLONE_NEWNS|CLONE_NEWIPC|CLONE_NEWNET)");
  }
  entered_ = true;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return fail("mount(/, MS_REC|MS_PRIVATE)");
  }

  // Loopback up, so a test server can listen on 127.0.0.1.
  {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock)
      return fail("socket(AF_INET)");
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &ifr) != 0) {
      return fail("ioctl(lo, SIOCGIFFLAGS)");
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(sock.get(), SIOCSIFFLAGS, &ifr) != 0) {
      return fail("ioctl(lo, SIOCSIFFLAGS)");
    }
  }

  for (const std::string &root : tmpfs_roots()) {
    if (!mount_tmpfs(root))
      return false;
  }
  for (const char *dir : {"/etc/corvane/control", "/etc/corvane/dynaregex",
                          "/var/cores/corvane"}) {
    if (::mkdir(dir, 0755) != 0)
      return fail(std::string("mkdir ") + dir);
  }

  // Private /dev: a tmpfs stage with the harmless device nodes bound in.
  char stage[] = "/tmp/corvane-sbx-XXXXXX";
  if (!::mkdtemp(stage))
    return fail("mkdtemp /tmp/corvane-sbx-XXXXXX");
  stage_ = stage;
  if (::mount("tmpfs", stage, "tmpfs", MS_NOSUID, "mode=0755") != 0) {
    return fail("mount tmpfs on " + stage_);
  }
  mounts_.push_back(stage_);
  for (const char *name : kDevNodes) {
    std::string real = std::string("/dev/") + name;
    std::string copy = stage_ + "/" + name;
    struct stat st;
    if (::stat(real.c_str(), &st) != 0) {
      if (std::strcmp(name, "null") == 0)
        return fail("stat /dev/null");
      continue; // optional node missing on this host
    }
    if (!write_small_file(copy, "", 0666))
      return fail("create " + copy);
    if (::mount(real.c_str(), copy.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return fail("bind " + real + " on " + copy);
    }
  }
  for (const auto &link : kDevLinks) {
    std::string path = stage_ + "/" + link[0];
    if (::symlink(link[1], path.c_str()) != 0)
      return fail("symlink " + path);
  }
  std::string shm = stage_ + "/shm";
  if (::mkdir(shm.c_str(), 01777) != 0 || ::chmod(shm.c_str(), 01777) != 0) {
    return fail("mkdir " + shm);
  }
  if (::mount(stage, "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return fail("bind " + stage_ + " on /dev");
  }
  mounts_.push_back("/dev");
  // The tree now lives on at /dev: drop the stage mount and directory at
  // once, so that a test process killed before its destructor runs leaves
  // nothing behind in /tmp.
  if (::umount2(stage, MNT_DETACH) != 0)
    return fail("umount " + stage_);
  mounts_.erase(std::find(mounts_.begin(), mounts_.end(), stage_));
  if (::rmdir(stage) != 0)
    return fail("rmdir " + stage_);
  stage_.clear();

  // Syslog socket. A datagram sender blocks once the receiver holds more than
  // net.unix.max_dgram_qlen datagrams (10 by default), so raise it for this
  // network namespace before creating the socket.
  {
    UniqueFd qlen(
        ::open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY | O_CLOEXEC));
    std::string value = std::to_string(kLogQueueLength);
    if (!qlen || !write_all(qlen.get(), value.data(), value.size())) {
      std::fprintf(stderr,
                   "corvane sandbox: warning: cannot raise "
                   "net.unix.max_dgram_qlen: %s\n",
                   std::strerror(errno));
    }
  }
  log_fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!log_fd_)
    return fail("socket(AF_UNIX, SOCK_DGRAM)");
  int rcvbuf = kLogRcvBuf;
  if (::setsockopt(log_fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf,
                   sizeof rcvbuf) != 0) {
    (void)::setsockopt(log_fd_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf,
                       sizeof rcvbuf);
  }
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
  if (::bind(log_fd_.get(), reinterpret_cast<struct sockaddr *>(&addr),
             sizeof addr) != 0) {
    return fail("bind /dev/log");
  }
  if (::chmod("/dev/log", 0666) != 0)
    return fail("chmod /dev/log");
  return true;
}

void Sandbox::tear_down() {
  log_fd_.reset();
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
    if (::umount2(it->c_str(), MNT_DETACH) != 0) {
      std::fprintf(stderr, "corvane sandbox: warning: umount %s: %s\n",
                   it->c_str(), std::strerror(errno));
    }
  }
  mounts_.clear();
  roots_.clear();
  if (entered_) {
    const struct {
      const UniqueFd *fd;
      int type;
      const char *name;
    } back[] = {{&saved_mnt_, CLONE_NEWNS, "mnt"},
                {&saved_ipc_, CLONE_NEWIPC, "ipc"},
                {&saved_net_, CLONE_NEWNET, "net"}};
    for (const auto &ns : back) {
      if (::setns(ns.fd->get(), ns.type) != 0) {
        std::fprintf(stderr,
                     "corvane sandbox: FATAL: cannot return to the saved %s "
                     "namespace: %s\n",
                     ns.name, std::strerror(errno));
        std::abort();
      }
    }
    entered_ = false;
    // setns() to a mount namespace resets the working directory to "/".
    if (::fchdir(saved_cwd_.get()) != 0) {
      std::fprintf(stderr,
                   "corvane sandbox: warning: cannot restore the working "
                   "directory: %s\n",
                   std::strerror(errno));
    }
  }
  if (!stage_.empty()) {
    if (::rmdir(stage_.c_str()) != 0) {
      std::fprintf(stderr, "corvane sandbox: warning: rmdir %s: %s\n",
                   stage_.c_str(), std::strerror(errno));
    }
    stage_.clear();
  }
  saved_mnt_.reset();
  saved_ipc_.reset();
  saved_net_.reset();
  saved_cwd_.reset();
  ok_ = false;
}

bool Sandbox::mount_tmpfs(const std::string &dir) {
  if (!entered_) {
    error_ = "mount_tmpfs " + dir + ": not inside the sandbox";
    return false;
  }
  if (!clean_absolute(dir)) {
    error_ = "mount_tmpfs " + dir + ": not a clean absolute path";
    return false;
  }
  if (!mkdir_p(dir, 0755))
    return fail("mkdir -p " + dir);
  if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
              "mode=0755") != 0) {
    return fail("mount tmpfs on " + dir);
  }
  mounts_.push_back(dir);
  roots_.push_back(dir);
  return true;
}

bool Sandbox::use_dns_server_at_localhost() {
  if (!ok_)
    return false;
  std::string dir = kPrivateEtc;
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return fail("mkdir " + dir);
  }
  const struct {
    const char *name;
    const char *content;
  } files[] = {
      {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"},
      {"nsswitch.conf", "hosts: dns\n"}};
  for (const auto &file : files) {
    std::string source = dir + "/" + file.name;
    std::string target = std::string("/etc/") + file.name;
    if (!write_small_file(source, file.content, 0644)) {
      return fail("write " + source);
    }
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) !=
        0) {
      return fail("bind " + source + " on " + target);
    }
    mounts_.push_back(target);
  }
  return true;
}

// ---- files ---------------------------------------------------------------

bool Sandbox::writable(const std::string &path) const {
  if (!clean_absolute(path))
    return false;
  for (const std::string &root : roots_) {
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
        path[root.size()] == '/') {
      return true;
    }
  }
  return false;
}

bool Sandbox::write_file(const std::string &path, std::string_view content,
                         mode_t mode) {
  if (!writable(path)) {
    std::fprintf(stderr,
                 "corvane sandbox: write_file %s refused: not below a sandbox "
                 "tmpfs\n",
                 path.c_str());
    return false;
  }
  std::string parent = path.substr(0, path.rfind('/'));
  if (!mkdir_p(parent, 0755)) {
    std::fprintf(stderr, "corvane sandbox: mkdir -p %s: %s\n", parent.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (!write_small_file(path, content, mode)) {
    std::fprintf(stderr, "corvane sandbox: write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

std::string Sandbox::read_file(const std::string &path) const {
  std::string content;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return content;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    content.append(chunk, static_cast<std::size_t>(n));
  }
  return content;
}

bool Sandbox::exists(const std::string &path) const {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool Sandbox::remove(const std::string &path) {
  if (!writable(path)) {
    std::fprintf(stderr,
                 "corvane sandbox: remove %s refused: not below a sandbox "
                 "tmpfs\n",
                 path.c_str());
    return false;
  }
  if (!exists(path))
    return true;
  (void)::nftw(path.c_str(), remove_entry, 16,
               FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  return !exists(path);
}

// ---- syslog --------------------------------------------------------------

void Sandbox::receive_log(std::vector<log_line> *into, std::size_t *count) {
  if (!log_fd_)
    return;
  for (;;) {
    ssize_t n = ::recv(log_fd_.get(), buf_.data(), buf_.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return; // EAGAIN: queue empty
    }
    if (count)
      ++*count;
    if (into) {
      log_line line;
      parse_syslog(std::string_view(buf_.data(), static_cast<std::size_t>(n)),
                   line);
      into->push_back(std::move(line));
    }
  }
}

std::size_t Sandbox::drain_log() {
  std::size_t count = 0;
  receive_log(nullptr, &count);
  return count;
}

std::vector<log_line> Sandbox::read_log() {
  std::vector<log_line> lines;
  receive_log(&lines, nullptr);
  return lines;
}

// ---- running -------------------------------------------------------------

run_result Sandbox::run(const std::string &program,
                        const std::vector<std::string> &args,
                        const std::vector<std::string> &env) {
  run_result result;
  if (!ok_) {
    result.harness_error = "sandbox not set up: " + error_;
    return result;
  }
  drain_log(); // only lines from this run

  // Everything the child needs is built before fork().
  std::vector<std::string> argv_strings = wrapper_;
  argv_strings.push_back(find_in_path(program));
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &arg : argv_strings)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = env;
  std::vector<char *> envp;
  for (std::string &var : env_strings)
    envp.push_back(var.data());
  envp.push_back(nullptr);

  UniqueFd dev_null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!dev_null) {
    result.harness_error = "open /dev/null: " + errno_text(errno);
    return result;
  }
  int fds[2];
  UniqueFd out_r, out_w, err_r, err_w, exec_r, exec_w;
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.harness_error = "pipe: " + errno_text(errno);
    return result;
  }
  out_r.reset(fds[0]);
  out_w.reset(fds[1]);
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.harness_error = "pipe: " + errno_text(errno);
    return result;
  }
  err_r.reset(fds[0]);
  err_w.reset(fds[1]);
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.harness_error = "pipe: " + errno_text(errno);
    return result;
  }
  exec_r.reset(fds[0]);
  exec_w.reset(fds[1]);

  pid_t pid = ::fork();
  if (pid < 0) {
    result.harness_error = "fork: " + errno_text(errno);
    return result;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP)
        ::sigaction(sig, &dfl, nullptr);
    }
    if (::dup2(dev_null.get(), 0) < 0 || ::dup2(out_w.get(), 1) < 0 ||
        ::dup2(err_w.get(), 2) < 0) {
      int e = errno;
      (void)!::write(exec_w.get(), &e, sizeof e);
      ::_exit(127);
    }
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(argv[0], argv.data(), envp.data());
    int e = errno;
    (void)!::write(exec_w.get(), &e, sizeof e);
    ::_exit(127);
  }
  out_w.reset();
  err_w.reset();
  exec_w.reset();

  int exec_errno = 0;
  ssize_t got;
  do {
    got = ::read(exec_r.get(), &exec_errno, sizeof exec_errno);
  } while (got < 0 && errno == EINTR);
  exec_r.reset();
  if (got == static_cast<ssize_t>(sizeof exec_errno)) {
    result.harness_error =
        "exec " + argv_strings[0] + ": " + errno_text(exec_errno);
  }

  UniqueFd pid_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  const auto deadline = now() + timeout_;
  auto exited_at = now();
  bool exited = false;
  int status = 0;
  char chunk[65536];
  for (;;) {
    if (!exited) {
      pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid || (w < 0 && errno == ECHILD)) {
        exited = true;
        exited_at = now();
      }
    }
    if (exited && !out_r && !err_r)
      break;
    auto t = now();
    if (!exited && t >= deadline) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      exited = true;
      exited_at = t;
      result.timed_out = true;
      result.harness_error =
          "timed out after " + std::to_string(timeout_.count()) + " ms; killed";
      continue;
    }
    // A descendant still holding the pipes must not keep us forever.
    if (exited && t >= exited_at + kPipeGrace)
      break;

    auto limit = exited ? exited_at + kPipeGrace : deadline;
    long long wait_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit - t)
            .count() +
        1;
    if (!exited && !pid_fd)
      wait_ms = std::min(wait_ms, 10LL);

    struct pollfd pfds[4];
    int n = 0;
    int out_i = -1, err_i = -1, log_i = -1, pid_i = -1;
    if (out_r) {
      out_i = n;
      pfds[n++] = {out_r.get(), POLLIN, 0};
    }
    if (err_r) {
      err_i = n;
      pfds[n++] = {err_r.get(), POLLIN, 0};
    }
    if (log_fd_) {
      log_i = n;
      pfds[n++] = {log_fd_.get(), POLLIN, 0};
    }
    if (!exited && pid_fd) {
      pid_i = n;
      pfds[n++] = {pid_fd.get(), POLLIN, 0};
    }
    int ready = ::poll(pfds, static_cast<nfds_t>(n), static_cast<int>(wait_ms));
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      result.harness_error = "poll: " + errno_text(errno);
      break;
    }
    (void)pid_i; // readiness is picked up by waitpid() at the loop top
    const struct {
      int index;
      UniqueFd *fd;
      std::string *sink;
    } pipes[] = {{out_i, &out_r, &result.out}, {err_i, &err_r, &result.err}};
    for (const auto &p : pipes) {
      if (p.index < 0 ||
          !(pfds[p.index].revents & (POLLIN | POLLHUP | POLLERR))) {
        continue;
      }
      ssize_t r = ::read(p.fd->get(), chunk, sizeof chunk);
      if (r > 0) {
        p.sink->append(chunk, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        p.fd->reset();
      }
    }
    if (log_i >= 0 && (pfds[log_i].revents & POLLIN)) {
      receive_log(&result.log, nullptr);
    }
  }
  if (!exited) {
    // Only reached after a poll() failure: do not leave a zombie behind.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // The child's syslog() sends are synchronous: all it logged is queued.
  receive_log(&result.log, nullptr);

  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  result.wrapper_failed =
      !wrapper_.empty() && result.exit_status == kWrapperErrorExit;
  return result;
}

} // namespace sandbox
