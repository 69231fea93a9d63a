#include "util/local_clock.h"

#include "util/small_files.h"

#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>

namespace {

constexpr const char *ZONE_FILE = "/etc/localtime";
constexpr const char *OFFSET_RECORD = "/etc/localtime#offset";
constexpr time_t SPAN = 3600;

// An offset and the moments it holds for: from <= now < until.
struct offset_span {
  int64_t from, until, gmtoff;
  int32_t isdst, unused;
};

// The span of this run, once found.
offset_span known{};
bool have_known = false;

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b < 0); }

bool within(const offset_span &span, time_t now) {
  return now >= span.from && now < span.until;
}

// The span that holds `now`, from the cache or from glibc's zone; false
// where the zone is not the file's (TZ set) or the file cannot be relied on.
bool find_span(time_t now, offset_span *span) {
  if (have_known && within(known, now)) {
    *span = known;
    return true;
  }
  struct stat st;
  // (A zone file that is no regular one is neither found nor kept.)
  if (!small_files_caching() || std::getenv("TZ") || stat(ZONE_FILE, &st) != 0)
    return false;
  offset_span kept;
  if (small_files_record(OFFSET_RECORD, st, &kept, sizeof kept) &&
      within(kept, now)) {
    known = *span = kept;
    return have_known = true;
  }
  const time_t later = now + SPAN;
  struct tm at_now, at_later;
  if (!localtime_r(&now, &at_now) || !localtime_r(&later, &at_later) ||
      at_now.tm_gmtoff != at_later.tm_gmtoff ||
      at_now.tm_isdst != at_later.tm_isdst)
    return false;
  kept = offset_span{now, later, at_now.tm_gmtoff, at_now.tm_isdst, 0};
  small_files_keep(OFFSET_RECORD, st, &kept, sizeof kept);
  known = *span = kept;
  return have_known = true;
}

} // namespace

void civil_time(time_t now, long gmtoff, int isdst, struct tm *out) {
  const int64_t local = int64_t{now} + gmtoff;
  const int64_t days = floor_div(local, 86400);
  const int64_t seconds = local - days * 86400;
  // Days since 1970-01-01 to a proleptic Gregorian date, in eras of 400
  // years that begin on March 1st.
  const int64_t z = days + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 +
                               day_of_era / 36524 - day_of_era / 146096) /
                              365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const int64_t month =
      shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static constexpr int before_month[12] = {0,   31,  59,  90,  120, 151,
                                           181, 212, 243, 273, 304, 334};
  *out = {};
  out->tm_sec = static_cast<int>(seconds % 60);
  out->tm_min = static_cast<int>(seconds / 60 % 60);
  out->tm_hour = static_cast<int>(seconds / 3600);
  out->tm_mday = static_cast<int>(day);
  out->tm_mon = static_cast<int>(month - 1);
  out->tm_year = static_cast<int>(year - 1900);
  out->tm_wday = static_cast<int>(days + 4 - floor_div(days + 4, 7) * 7);
  out->tm_yday =
      before_month[month - 1] + static_cast<int>(day) - 1 + (leap && month > 2);
  out->tm_isdst = isdst;
  out->tm_gmtoff = gmtoff;
  out->tm_zone = "";
}

bool local_time(time_t now, struct tm *out) {
  offset_span span;
  if (!find_span(now, &span))
    return localtime_r(&now, out) != nullptr;
  civil_time(now, static_cast<long>(span.gmtoff), span.isdst, out);
  return true;
}
