#include "engine/counters.h"

#include "util/fd_io.h"
#include "util/local_clock.h"
#include "util/plugin_log.h"
#include "util/raii.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct day_record {
  uint32_t day_start;
  uint32_t count[3];
};
static_assert(sizeof(day_record) == 16);

// The start of today as the counter file has it: mktime(3) of local
// midnight with the daylight-saving flag 0. mktime looks at /etc/localtime's
// status on every call, so it is asked only where its own value counts.
class day_start {
public:
  day_start(const struct tm &local, time_t now) : now_(now) {
    midnight_.tm_mday = local.tm_mday;
    midnight_.tm_mon = local.tm_mon;
    midnight_.tm_year = local.tm_year;
    midnight_.tm_isdst = 0;
    into_day_ = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  }

  time_t exact() {
    if (!known_) {
      exact_ = mktime(&midnight_);
      known_ = true;
    }
    return exact_;
  }

  // Today's midnight at the clock's present offset. It differs from
  // exact() by the difference of two offsets of the time zone (the one in
  // force now, and the one mktime takes for standard time), which all lie
  // within 26 hours of each other.
  int64_t rough() const { return int64_t{now_} - into_day_; }

private:
  time_t now_;
  struct tm midnight_ {};
  int into_day_;
  time_t exact_ = 0;
  bool known_ = false;
};

// Far above the gap between day_start's rough and exact values.
constexpr int64_t ROUGH_AGE_MARGIN = 7 * 86400;

// `file` holds what one read of COUNTER_FILE_SIZE + 1 bytes at offset 0
// gave (`size` bytes, -1 for a failed read).
bool must_start_afresh(const char *file, ssize_t size, long offset,
                       day_start &today) {
  if (size != static_cast<ssize_t>(COUNTER_FILE_SIZE))
    return true;
  uint32_t header;
  day_record stored;
  std::memcpy(&header, file, sizeof header);
  std::memcpy(&stored, file + offset, sizeof stored);
  if (header != 0 || stored.day_start == 0)
    return header != 0;
  // A month's file keeps in today's record the start of today or of this
  // day of the month in another year: far from the age limit either way,
  // where the rough start decides as the exact one would. Only a record
  // near the limit needs the exact start.
  const int64_t rough_age = today.rough() - stored.day_start;
  if (rough_age > COUNTER_MAX_AGE + ROUGH_AGE_MARGIN ||
      rough_age < COUNTER_MAX_AGE - ROUGH_AGE_MARGIN)
    return rough_age > COUNTER_MAX_AGE;
  return static_cast<int64_t>(today.exact()) - stored.day_start >
         COUNTER_MAX_AGE;
}

void start_afresh(int fd) {
  static const char zeros[COUNTER_FILE_SIZE] = {};
  if (ftruncate(fd, 0) == 0)
    (void)pwrite(fd, zeros, sizeof zeros, 0);
}

} // namespace

void write_translog_at(const char *path, const char *message, time_t now,
                       pid_t pid) {
  if (!path || !message)
    return;
  struct tm local;
  if (!local_time(now, &local))
    return;
  char stamp[96];
  int stamp_length = std::snprintf(
      stamp, sizeof stamp,
      "%04d-%02d-%02d %02d:%02d:%02d %s[%d]: ", local.tm_year + 1900,
      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
      local.tm_sec, "corvane-spp", static_cast<int>(pid));
  if (stamp_length < 0 || static_cast<size_t>(stamp_length) >= sizeof stamp)
    return;
  // The whole line goes out in one write(2) on an O_APPEND descriptor, so
  // the lines of concurrent runs never interleave, however long.
  const size_t message_length = std::strlen(message);
  heap_text line(static_cast<char *>(
      std::malloc(static_cast<size_t>(stamp_length) + message_length + 1)));
  if (!line)
    return;
  std::memcpy(line.get(), stamp, static_cast<size_t>(stamp_length));
  char *out = line.get() + stamp_length;
  for (size_t i = 0; i < message_length; ++i) {
    auto c = static_cast<unsigned char>(message[i]);
    *out++ = static_cast<char>(c < 0x20 || c == 0x7f ? '?' : c);
  }
  *out++ = '\n';
  unique_fd log(open_regular(path, O_WRONLY | O_APPEND | O_CREAT, 0));
  (void)fd_write_all(log.get(), line.get(),
                     static_cast<size_t>(out - line.get()));
}

void write_translog(const char *path, const char *message) {
  // The process id of the run's syslog lines, when it has them.
  const int pid = plugin_log_pid();
  write_translog_at(path, message, time(nullptr), pid ? pid : getpid());
}

void update_counter_file(const char *path, int kind, time_t now) {
  if (!path || kind < COUNT_HAM || kind > COUNT_EXEMPT)
    return;
  struct tm local;
  if (!local_time(now, &local))
    return;
  day_start today(local, now);

  umask(022);
  unique_fd fd(open_locked(path, true, O_RDWR | O_CREAT));
  if (!fd.valid())
    return;
  const long offset = counter_record_offset(local.tm_mday);
  // The whole file in one read (one byte more tells a longer one): its size,
  // header and today's record.
  char file[COUNTER_FILE_SIZE + 1];
  const ssize_t size = pread(fd.get(), file, sizeof file, 0);
  day_record record{};
  if (must_start_afresh(file, size, offset, today)) {
    start_afresh(fd.get());
    (void)pread(fd.get(), &record, sizeof record, offset);
  } else {
    std::memcpy(&record, file + offset, sizeof record);
  }
  if (record.day_start == 0)
    record.day_start = static_cast<uint32_t>(today.exact());
  record.count[kind] += 1;
  (void)pwrite(fd.get(), &record, sizeof record, offset);
}

void update_counter(int kind) {
  const time_t now = time(nullptr);
  struct tm local;
  if (!local_time(now, &local))
    return;
  char path[64];
  std::snprintf(path, sizeof path, "%s.%02d", COUNTER_FILE_BASE,
                local.tm_mon + 1);
  update_counter_file(path, kind, now);
}
