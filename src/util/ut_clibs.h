// ut_clibs: process utilities of the utility library.
//
//   ut_set_run_as(user)     1 when the process now runs with the user's id
//                           as its effective id (switched from root, or
//                           already so); 0 for a missing or unknown user, a
//                           process that is neither root nor the user, or a
//                           failed switch. Only the effective id changes:
//                           root can take it back with seteuid(0).
//   ut_stopwatch_start(&w)  1 with the start time taken, or 0.
//   ut_stopwatch_stop(&w)   the seconds since the start (the stopwatch can
//                           be stopped again); -1.0 when it was never started
//                           or the time cannot be read.
//
// Failures are reported (ut_log) with the system's texts.
#pragma once

#include <cstdint>

// Two time-of-day values; start_sec 0 means never started.
struct ut_stopwatch {
  int64_t start_sec;
  int64_t start_usec;
  int64_t stop_sec;
  int64_t stop_usec;
};

int ut_set_run_as(const char *user);
int ut_stopwatch_start(ut_stopwatch *stopwatch);
double ut_stopwatch_stop(ut_stopwatch *stopwatch);

// The time between the stopwatch's start and stop fields, in seconds.
double __ut_stopwatch_elapsed(const ut_stopwatch *stopwatch);
