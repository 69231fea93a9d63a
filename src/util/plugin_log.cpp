#include "util/plugin_log.h"

#include "util/local_clock.h"
#include "util/raii.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constinit plugin_log_route_func installed_route = nullptr;

// The plug-in's own connection to syslog, once plugin_log_open named it.
const char *log_ident = nullptr;
int log_facility = LOG_USER;
int log_pid = 0;
int log_socket = -1;
int log_type = SOCK_DGRAM;

void disconnect() {
  if (log_socket >= 0)
    close(log_socket);
  log_socket = -1;
}

// As syslog(3) connects: a datagram socket, else a stream one where the
// daemon listens on that.
bool connect_log() {
  if (log_socket >= 0)
    return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, _PATH_LOG);
  for (;;) {
    log_socket = socket(AF_UNIX, log_type | SOCK_CLOEXEC, 0);
    if (log_socket < 0)
      return false;
    if (connect(log_socket, reinterpret_cast<const sockaddr *>(&address),
                sizeof address) == 0)
      return true;
    const bool other_type = errno == EPROTOTYPE && log_type == SOCK_DGRAM;
    disconnect();
    if (!other_type)
      return false;
    log_type = SOCK_STREAM;
  }
}

// Sends the line; where a connection that stood fails (the daemon may have
// gone), once more on a new one, as syslog(3) does.
void send_line(const char *line, size_t length) {
  const bool stood = log_socket >= 0;
  for (int attempt = 0; attempt < (stood ? 2 : 1); ++attempt) {
    if (!connect_log())
      return;
    // A stream socket's reader takes the NUL as the end of the line.
    const size_t size = length + (log_type == SOCK_STREAM ? 1 : 0);
    if (send(log_socket, line, size, MSG_NOSIGNAL) >= 0)
      return;
    disconnect();
  }
}

// vsyslog(3) of the line through the plug-in's connection: the same
// datagram, "<PRI>Mmm dd hh:mm:ss ident[pid]: text", under the same mask.
void send_to_syslog(int priority, const char *format, va_list args) {
  const int saved_errno = errno; // for a %m in the format
  if ((setlogmask(0) & LOG_MASK(LOG_PRI(priority))) == 0)
    return;
  if ((priority & LOG_FACMASK) == 0)
    priority |= log_facility;
  const time_t now = time(nullptr);
  struct tm local;
  if (!local_time(now, &local))
    local = tm{};
  static constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  constexpr int HEADER_MAX = 128;
  char line[1024];
  const int header_length = std::snprintf(
      line, HEADER_MAX, "<%d>%.3s %2d %02d:%02d:%02d %s[%d]: ", priority,
      months + 3 * month, local.tm_mday, local.tm_hour, local.tm_min,
      local.tm_sec, log_ident, log_pid);
  if (header_length < 0 || header_length >= HEADER_MAX)
    return;
  const size_t header_size = size_t(header_length);
  va_list again; // for a text too long for the line
  va_copy(again, args);
  errno = saved_errno;
  const int text_length = std::vsnprintf(
      line + header_size, sizeof line - header_size, format, args);
  const size_t length = header_size + size_t(text_length > 0 ? text_length : 0);
  if (text_length >= 0 && length < sizeof line) {
    send_line(line, length);
  } else if (text_length >= 0) {
    heap_text long_line(static_cast<char *>(std::malloc(length + 1)));
    if (long_line) {
      std::memcpy(long_line.get(), line, header_size);
      errno = saved_errno;
      std::vsnprintf(long_line.get() + header_size, length - header_size + 1,
                     format, again);
      send_line(long_line.get(), length);
    }
  }
  va_end(again);
}

} // namespace

void plugin_log(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (installed_route)
    installed_route(priority, format, args);
  else if (log_ident)
    send_to_syslog(priority, format, args);
  else
    vsyslog(priority, format, args);
  va_end(args);
}

void plugin_log_route(plugin_log_route_func route) { installed_route = route; }

void plugin_log_open(const char *ident, int facility, int pid) {
  log_ident = ident;
  log_facility = facility;
  log_pid = pid;
}

int plugin_log_pid() { return log_pid; }

void plugin_log_close() {
  disconnect();
  log_ident = nullptr;
  log_type = SOCK_DGRAM;
}
