// local_clock: the local time of a moment, as localtime_r(3) gives it,
// without glibc's time-zone set-up on every run.
//
// Loading the zone (TZ unset: /etc/localtime) costs a run more than all its
// list files. With the small files' cache on, a run that loaded it keeps
// the zone's offset from UTC for the hour that follows, when the offset an
// hour later is the same: a record in the cache bound to /etc/localtime's
// identity (small_files_record). Later runs within that hour take the
// offset from there and only stat the zone file. No zone changes its offset
// twice within an hour.
//
//   local_time(now, &tm)  localtime_r(&now, &tm): true when it could; from
//       the kept offset where it holds (TZ unset, /etc/localtime unchanged
//       and settled, `now` within the hour), with tm_zone "".
//   civil_time(now, gmtoff, isdst, &tm)  the broken-down time of now shifted
//       by gmtoff seconds, with tm_gmtoff, tm_isdst set and tm_zone "".
#pragma once

#include <ctime>

bool local_time(time_t now, struct tm *out);
void civil_time(time_t now, long gmtoff, int isdst, struct tm *out);
