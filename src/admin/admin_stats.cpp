#include "admin/admin_stats.h"

#include "engine/counters.h"
#include "util/fd_io.h"
#include "util/raii.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

const char ADMIN_STATS_USAGE[] =
    "  corvane-admin stats [MONTH]          per-day ham, spam and exempt "
    "counts\n"
    "                                       of a month (1 to 12, default "
    "this month)\n"
    "  corvane-admin stats --json [MONTH]   the same as one JSON object\n";

namespace {

constexpr int BAR_WIDTH = 20;

uint32_t word_at(const unsigned char *counters, long offset) {
  uint32_t word;
  std::memcpy(&word, counters + offset, sizeof word);
  return word;
}

void print_row(line_printer print, const char *label, const counter_day &c) {
  const uint64_t total = c.ham + c.spam + c.exempt;
  char bar[BAR_WIDTH + 1];
  int hashes =
      total ? static_cast<int>((c.spam * BAR_WIDTH + total / 2) / total) : 0;
  std::memset(bar, '#', static_cast<size_t>(hashes));
  bar[hashes] = '\0';
  char share[8] = "-";
  if (total)
    std::snprintf(share, sizeof share, "%d%%",
                  static_cast<int>((c.spam * 100 + total / 2) / total));
  char line[160];
  std::snprintf(line, sizeof line, "%-10s %9llu %9llu %9llu %9llu  %-*s %4s",
                label, static_cast<unsigned long long>(c.ham),
                static_cast<unsigned long long>(c.spam),
                static_cast<unsigned long long>(c.exempt),
                static_cast<unsigned long long>(total), BAR_WIDTH, bar, share);
  print(line);
}

// The counter file of `month`, or null with errno set; `size` its length.
heap_text read_counter_file(const char *path, off_t &size) {
  unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0)
    return nullptr;
  size = status.st_size;
  if (size != static_cast<off_t>(COUNTER_FILE_SIZE))
    return nullptr;
  // A reader's lock: the plug-in's writers hold a write lock on the file
  // for each whole update.
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  (void)fcntl(fd.get(), F_SETLKW, &lock);
  heap_text bytes(static_cast<char *>(std::malloc(COUNTER_FILE_SIZE)));
  if (!bytes || !fd_read_all(fd.get(), bytes.get(), COUNTER_FILE_SIZE))
    return nullptr;
  return bytes;
}

} // namespace

int read_counter_days(const unsigned char *counters,
                      counter_day (&days)[COUNTER_DAYS]) {
  int used = 0;
  for (int mday = 1; mday <= COUNTER_DAYS; ++mday) {
    const long record = counter_record_offset(mday);
    const auto day_start = static_cast<time_t>(word_at(counters, record));
    if (day_start == 0)
      continue;
    counter_day &day = days[used++];
    struct tm local {};
    (void)localtime_r(&day_start, &local);
    std::snprintf(day.date, sizeof day.date, "%04d-%02d-%02d",
                  local.tm_year + 1900, local.tm_mon + 1, mday);
    day.ham = word_at(counters, record + 4);
    day.spam = word_at(counters, record + 8);
    day.exempt = word_at(counters, record + 12);
  }
  return used;
}

namespace {

counter_day sum_of(const counter_day *days, int count) {
  counter_day sum{};
  for (int i = 0; i < count; ++i) {
    sum.ham += days[i].ham;
    sum.spam += days[i].spam;
    sum.exempt += days[i].exempt;
  }
  return sum;
}

void print_json_counts(line_printer print, const char *head,
                       const counter_day &c, const char *tail) {
  char line[160];
  std::snprintf(line, sizeof line,
                "%s\"ham\": %llu, \"spam\": %llu, \"exempt\": %llu%s", head,
                static_cast<unsigned long long>(c.ham),
                static_cast<unsigned long long>(c.spam),
                static_cast<unsigned long long>(c.exempt), tail);
  print(line);
}

} // namespace

int print_counter_report(const unsigned char *counters, line_printer print) {
  counter_day days[COUNTER_DAYS];
  const int used = read_counter_days(counters, days);
  if (used == 0)
    return 0;
  char header[160];
  std::snprintf(header, sizeof header, "%-10s %9s %9s %9s %9s  %s", "Day",
                "Ham", "Spam", "Exempt", "All", "Spam share");
  print(header);
  for (int i = 0; i < used; ++i)
    print_row(print, days[i].date, days[i]);
  print_row(print, "Total", sum_of(days, used));
  return used;
}

int print_counter_json(const unsigned char *counters, int month,
                       line_printer print) {
  counter_day days[COUNTER_DAYS];
  const int used = counters ? read_counter_days(counters, days) : 0;
  char head[64];
  std::snprintf(head, sizeof head, "{\"month\": %d, \"days\": [", month);
  print(head);
  for (int i = 0; i < used; ++i) {
    std::snprintf(head, sizeof head, "  {\"date\": \"%.10s\", ", days[i].date);
    print_json_counts(print, head, days[i], i + 1 < used ? "}," : "}");
  }
  print_json_counts(print, "], \"total\": {", sum_of(days, used), "}}");
  return used;
}

int admin_stats(const admin_context &context) {
  const auto &args = context.args;
  int month = 0;
  if (args.empty()) {
    time_t now = std::time(nullptr);
    struct tm local {};
    (void)localtime_r(&now, &local);
    month = local.tm_mon + 1;
  } else if (args.size() == 1) {
    char *end = nullptr;
    long asked = std::strtol(args[0], &end, 10);
    if (*args[0] >= '0' && *args[0] <= '9' && *end == '\0' && asked >= 1 &&
        asked <= 12)
      month = static_cast<int>(asked);
  }
  if (!month)
    return admin_usage_error(ADMIN_STATS_USAGE,
                             "stats: MONTH must be a number from 1 to 12");
  char path[64];
  std::snprintf(path, sizeof path, "%s.%02d", COUNTER_FILE_BASE, month);
  off_t size = -1;
  heap_text bytes = read_counter_file(path, size);
  const auto *counters = reinterpret_cast<unsigned char *>(bytes.get());
  if (!bytes) {
    if (size < 0 && errno == ENOENT) {
      if (context.json)
        (void)print_counter_json(nullptr, month, print_line_stdout);
      else
        std::printf("No counts for month %02d: %s does not exist.\n", month,
                    path);
      return ADMIN_OK;
    }
    if (size >= 0 && size != static_cast<off_t>(COUNTER_FILE_SIZE))
      return admin_fail("%s has %lld bytes, not %zu: it is no counter file",
                        path, static_cast<long long>(size), COUNTER_FILE_SIZE);
    return admin_fail("cannot read %s: %s", path, std::strerror(errno));
  }
  if (context.json) {
    (void)print_counter_json(counters, month, print_line_stdout);
    return ADMIN_OK;
  }
  std::printf("Counts of month %02d (%s):\n\n", month, path);
  if (print_counter_report(counters, print_line_stdout) == 0)
    std::printf("No day of month %02d has counts.\n", month);
  return ADMIN_OK;
}
