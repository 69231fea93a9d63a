// admin_stats: `corvane-admin stats [MONTH]`, the per-day counts of a
// month's counter file (counters).
//
//   admin_stats(context)   an admin_status. MONTH is 1 to 12, this month
//       by default. Reads /var/log/corvane/.counter.dat.MM under a shared
//       fcntl lock; says so when the file is missing (ADMIN_OK) or is not a
//       counter file of 500 bytes (ADMIN_FAILED).
//   print_counter_report(counters, print)  prints the table of a counter
//       file's 500 bytes: a row per used day (day_start not 0; the date's
//       year from day_start in local time), with ham, spam, exempt, their
//       sum, a bar of '#' for the spam share (20 wide) and that share in
//       percent, then a row of totals. Returns the number of days shown;
//       with none, nothing is printed.
#pragma once

#include "admin/admin_cli.h"
#include "engine/config_display.h"

extern const char ADMIN_STATS_USAGE[];

int admin_stats(const admin_context &context);
int print_counter_report(const unsigned char *counters, line_printer print);
