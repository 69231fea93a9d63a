// counters: the transaction log and the per-day ham/spam/exempt counters.
//
//   write_translog(path, message)  appends "YYYY-MM-DD hh:mm:ss
//       corvane-spp[pid]: message" (local time); a file that cannot be
//       opened loses the line silently. Control characters of the message
//       are written as '?', so that one run stays one line.
//   update_counter(kind)           adds one to today's count of `kind` in
//       this month's 500-byte counter file under an fcntl write lock,
//       waiting as long as it takes; every failure loses the count silently.
//
// Counter file: a 4-byte zero header, then 31 day records of four native
// 32-bit words: day_start, ham, spam, exempt. day_start is the day's local
// midnight as mktime reads it with the daylight-saving flag 0 (so in summer
// time it falls at 01:00 local); 0 marks an unused record.
// A file of the wrong size, with a non-zero header, or whose record for
// today is more than 31 days older than today is started afresh.
#pragma once

#include <ctime>
#include <sys/types.h>

enum counter_kind { COUNT_HAM = 0, COUNT_SPAM = 1, COUNT_EXEMPT = 2 };

inline constexpr const char *TRANSLOG_PATH = "/var/log/corvane/ihlog";
inline constexpr const char *COUNTER_FILE_BASE =
    "/var/log/corvane/.counter.dat";
inline constexpr size_t COUNTER_FILE_SIZE = 500;
inline constexpr long COUNTER_MAX_AGE = 2678400; // 31 days

void write_translog(const char *path, const char *message);
void update_counter(int kind);

// The same operations with the clock, the process id and the file passed
// in, so that time-dependent behaviour can be exercised directly.
void write_translog_at(const char *path, const char *message, time_t now,
                       pid_t pid);
void update_counter_file(const char *path, int kind, time_t now);
// Offset of the record of day `mday` (1 to 31).
inline constexpr long counter_record_offset(int mday) {
  return 4 + 16L * (mday - 1);
}
