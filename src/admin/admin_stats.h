// admin_stats: `corvane-admin stats [--json] [MONTH]`, the per-day counts
// of a month's counter file (counters).
//
//   admin_stats(context)   an admin_status. MONTH is 1 to 12, this month
//       by default. Reads /var/log/corvane/.counter.dat.MM under a shared
//       fcntl lock; says so when the file is missing (ADMIN_OK; with --json
//       an object without days) or is not a counter file of 500 bytes
//       (ADMIN_FAILED).
//   read_counter_days(counters, days)  the used day records (day_start not
//       0) of a counter file's 500 bytes, in day order, with the date (its
//       year and month from day_start in local time); returns how many.
//   print_counter_report(counters, print)  prints the table of a counter
//       file's 500 bytes: a row per used day (day_start not 0; the date's
//       year from day_start in local time), with ham, spam, exempt, their
//       sum, a bar of '#' for the spam share (20 wide) and that share in
//       percent, then a row of totals. Returns the number of days shown;
//       with none, nothing is printed.
//   print_counter_json(counters, month, print)  the same days as one JSON
//       object for monitoring, a day a line:
//         {"month": 3, "days": [
//           {"date": "2025-03-05", "ham": 1, "spam": 7, "exempt": 0}
//         ], "total": {"ham": 1, "spam": 7, "exempt": 0}}
//       `counters` null: no days. Returns the number of days.
#pragma once

#include "admin/admin_cli.h"
#include "engine/config_display.h"

#include <cstdint>

extern const char ADMIN_STATS_USAGE[];

inline constexpr int COUNTER_DAYS = 31;

struct counter_day {
  char date[32]; // YYYY-MM-DD
  uint64_t ham, spam, exempt;
};

int admin_stats(const admin_context &context);
int read_counter_days(const unsigned char *counters,
                      counter_day (&days)[COUNTER_DAYS]);
int print_counter_report(const unsigned char *counters, line_printer print);
int print_counter_json(const unsigned char *counters, int month,
                       line_printer print);
