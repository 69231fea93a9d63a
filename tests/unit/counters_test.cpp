// The per-day counters and the transaction log (counters, with the file
// lock of fd_io) and the administrator's table of a counter file
// (admin_stats).
#include "admin/admin_stats.h"
#include "engine/counters.h"
#include "util/fd_io.h"

#include "test_support.h"

#include <fcntl.h>
#include <poll.h>

namespace {

using bytes = std::string;

time_t utc(int year, int month, int day, int hour = 0, int minute = 0,
           int second = 0) {
  struct tm t {};
  t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
  t.tm_hour = hour, t.tm_min = minute, t.tm_sec = second;
  return timegm(&t);
}

// `file` (a zeroed counter file by default) with the record of day `mday`.
bytes with(int mday, time_t start, uint32_t ham, uint32_t spam, uint32_t exempt,
           bytes file = bytes(COUNTER_FILE_SIZE, '\0')) {
  const uint32_t words[4] = {static_cast<uint32_t>(start), ham, spam, exempt};
  file.replace(counter_record_offset(mday), sizeof words,
               reinterpret_cast<const char *>(words), sizeof words);
  return file;
}

// A counter file as its size, header and the day records not all zero.
std::string layout(const bytes &file) {
  std::string out = "size " + std::to_string(file.size());
  uint32_t w[125];
  if (file.size() != sizeof w)
    return out;
  std::memcpy(w, file.data(), sizeof w);
  out += ", header " + std::to_string(w[0]);
  for (int i = 1; i < 125; i += 4)
    if (w[i] || w[i + 1] || w[i + 2] || w[i + 3])
      out += "; day " + std::to_string(i / 4 + 1) + " {" +
             std::to_string(w[i]) + " " + std::to_string(w[i + 1]) + "/" +
             std::to_string(w[i + 2]) + "/" + std::to_string(w[i + 3]) + "}";
  return out;
}

void use_zone(const char *zone) {
  setenv("TZ", zone, 1);
  tzset();
}

// Each test sets the time zone it needs.
class Counters : public ::testing::Test {
protected:
  ut::temp_dir dir;
  const std::string path = dir.file("counter.dat");
};

const time_t MAR5 = utc(2024, 3, 5), MORNING = utc(2024, 3, 5, 7, 8, 9);

TEST_F(Counters, EachCountLandsInTodaysRecordOfAFileStartedAfreshWhenStale) {
  const bytes none, ham = with(5, MAR5, 1, 0, 0);
  auto two_days = [](time_t start5, uint32_t ham5) {
    return with(5, start5, ham5, 9, 9, with(2, utc(2024, 3, 2), 4, 4, 4));
  };
  auto sized = [&](size_t size) {
    bytes file = two_days(MAR5, 9);
    file.resize(size);
    return file;
  };
  bytes headed = two_days(MAR5, 9);
  headed[3] = 1;
  const time_t AGE = COUNTER_MAX_AGE, MAR6 = utc(2024, 3, 6);
  const char *const UTC = "UTC", *const CET = "CET-1CEST,M3.5.0,M10.5.0/3";
  // clang-format off
  const struct { const char *name, *zone; bytes before; // empty: no file
                 int kind; time_t now; bytes after; } rows[] = {
      {"the day lasts to 23:59:59", UTC, ham, COUNT_HAM,
       utc(2024, 3, 5, 23, 59, 59), with(5, MAR5, 2, 0, 0)},
      {"the next day, the next record", UTC, ham, COUNT_SPAM, MAR6 + 1,
       with(6, MAR6, 0, 1, 0, ham)},
      {"the 31st, the last record", UTC, none, COUNT_EXEMPT,
       utc(2024, 3, 31, 23, 59, 59), with(31, utc(2024, 3, 31), 0, 0, 1)},
      {"499 bytes: started afresh", UTC, sized(499), COUNT_HAM, MORNING, ham},
      {"501 bytes: started afresh", UTC, sized(501), COUNT_HAM, MORNING, ham},
      {"a header not 0: started afresh", UTC, headed, COUNT_HAM, MORNING, ham},
      {"today's record > 31 days old wipes all", UTC,
       two_days(MAR5 - AGE - 1, 9), COUNT_HAM, MORNING, ham},
      {"today's record 31 days old is kept", UTC, two_days(MAR5 - AGE, 9),
       COUNT_HAM, MORNING, two_days(MAR5 - AGE, 10)},
      {"a record from the future is kept", UTC, two_days(MAR5 + AGE, 9),
       COUNT_HAM, MORNING, two_days(MAR5 + AGE, 10)},
      {"last year's record wipes all", UTC, two_days(utc(2023, 3, 5), 9),
       COUNT_HAM, MORNING, ham},
      {"kind 3 changes nothing", UTC, headed, 3, MORNING, headed},
      {"kind -1 makes no file", UTC, none, -1, MORNING, none},
      // The day starts at local midnight read with the daylight-saving flag
      // 0: in summer that is 01:00 local time, 23:00 UTC the day before.
      {"summer: midnight as standard time", CET, none, COUNT_HAM,
       utc(2024, 7, 15, 10), with(15, utc(2024, 7, 14, 23), 1, 0, 0)},
      {"winter: local midnight", CET, none, COUNT_HAM, utc(2024, 1, 15, 10),
       with(15, utc(2024, 1, 14, 23), 1, 0, 0)},
      {"summer: the age counts from 01:00", CET,
       with(15, utc(2024, 7, 14, 23) - AGE - 1800, 9, 9, 9), COUNT_HAM,
       utc(2024, 7, 15, 10), with(15, utc(2024, 7, 14, 23), 1, 0, 0)},
  };
  // clang-format on
  for (const auto &c : rows) {
    SCOPED_TRACE(c.name);
    use_zone(c.zone);
    unlink(path.c_str());
    if (!c.before.empty())
      dir.write("counter.dat", c.before);
    update_counter_file(path.c_str(), c.kind, c.now);
    EXPECT_EQ(layout(ut::read_file(path)), layout(c.after));
  }
}

TEST_F(Counters, TheTransactionLogGetsOneStampedPrintableLineARun) {
  const std::string log = dir.write("ihlog", "earlier\n");
  use_zone("EST5");
  write_translog_at(log.c_str(), "a\tb\r\nc\x7f\x01\x1f z\xc3\xa9",
                    utc(2024, 3, 5, 3, 4, 5), 7);
  EXPECT_EQ(ut::read_file(log),
            "earlier\n"
            "2024-03-04 22:04:05 corvane-spp[7]: a?b??c??? z\xc3\xa9\n");
  write_translog_at(dir.path().c_str(), "lost", MORNING, 1); // a folder
}

// True once /proc/locks shows `pid` waiting for a lock ("->"); false when
// `answered` becomes readable first.
bool waits_for_a_lock(pid_t pid, int answered) {
  const std::string who = " " + std::to_string(pid) + " ";
  for (;; sched_yield()) {
    struct pollfd p = {answered, POLLIN, 0};
    if (poll(&p, 1, 0) == 1)
      return false;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
      if (line.find("->") != line.npos && line.find(who) != line.npos)
        return true;
  }
}

TEST(OpenLocked, WaitsUntilAnotherProcessLetsGoOfTheLock) {
  ut::temp_dir dir;
  const std::string path = dir.write("contended", "data");
  const int held = open_locked(path.c_str(), true, O_RDWR);
  int answer[2];
  ASSERT_TRUE(held >= 0 && pipe(answer) == 0);
  const pid_t waiter = fork();
  if (waiter == 0) {
    const char got = open_locked(path.c_str(), true, O_RDWR) >= 0 ? 'L' : 'F';
    _exit(write(answer[1], &got, 1) == 1 ? 0 : 1);
  }
  close(answer[1]);
  EXPECT_TRUE(waits_for_a_lock(waiter, answer[0]));
  close(held); // lets go of this process's lock
  char got = 0;
  EXPECT_EQ(read(answer[0], &got, 1), 1);
  EXPECT_EQ(got, 'L');
  close(answer[0]);
  EXPECT_EQ(ut::exit_status_of(waiter), 0);
}

std::vector<std::string> printed;
void collect(const char *line) { printed.emplace_back(line); }

TEST_F(Counters, TheStatsTableAndJsonHaveARowPerUsedDayAndTotals) {
  use_zone("UTC");
  const time_t mar_2025 = utc(2025, 3, 1), day = 86400;
  bytes file = with(1, utc(2024, 3, 1), 1, 0, 0);    // the year is the record's
  file = with(2, 0, 5, 5, 5, file);                  // no day_start: no day
  file = with(5, mar_2025 + 4 * day, 1, 7, 0, file); // 17.5 bars: 18
  file = with(6, mar_2025 + 5 * day, 0, 0, 0, file);
  file = with(31, mar_2025 + 30 * day, 0, 7, 0, file);
  printed.clear();
  const auto report = [](const bytes &counters) {
    return print_counter_report(
        reinterpret_cast<const unsigned char *>(counters.data()), collect);
  };
  EXPECT_EQ(report(file), 4);
  EXPECT_EQ(printed, (std::vector<std::string>{
                         "Day              Ham      Spam    Exempt       All  "
                         "Spam share",
                         "2024-03-01         1         0         0         1  "
                         "                       0%",
                         "2025-03-05         1         7         0         8  "
                         "##################    88%",
                         "2025-03-06         0         0         0         0  "
                         "                        -",
                         "2025-03-31         0         7         0         7  "
                         "#################### 100%",
                         "Total              2        14         0        16  "
                         "##################    88%"}));
  printed.clear();
  EXPECT_EQ(report(bytes(COUNTER_FILE_SIZE, '\0')), 0);
  EXPECT_TRUE(printed.empty());
  file = with(5, 0, 0, 0, 0, file);
  file = with(6, 0, 0, 0, 0, file);
  EXPECT_EQ(
      print_counter_json(reinterpret_cast<const unsigned char *>(file.data()),
                         3, collect),
      2);
  EXPECT_EQ(
      printed,
      (std::vector<std::string>{
          R"({"month": 3, "days": [)",
          R"(  {"date": "2024-03-01", "ham": 1, "spam": 0, "exempt": 0},)",
          R"(  {"date": "2025-03-31", "ham": 0, "spam": 7, "exempt": 0})",
          R"(], "total": {"ham": 1, "spam": 7, "exempt": 0}})"}));
}

} // namespace
