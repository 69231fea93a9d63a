#include "util/ut_clibs.h"

#include "util/ut_log.h"

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int64_t MICROSECONDS = 1000000;

} // namespace

int ut_set_run_as(const char *user) {
  if (!user || !*user) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  errno = 0;
  const struct passwd *account = getpwnam(user);
  if (!account) {
    UT_ERROR("Error retrieving %s UID: [%s]\n", user, std::strerror(errno));
    return 0;
  }
  const uid_t wanted = account->pw_uid;
  UT_DEBUG("UID for user %s is %d", user, static_cast<int>(wanted));
  const uid_t effective = geteuid();
  UT_DEBUG("Program is running as UID %d", static_cast<int>(effective));
  if (effective != wanted && effective != 0) {
    UT_ERROR("This program must be run as 'root' or '%s' user", user);
    return 0;
  }
  if (effective == wanted)
    return 1;
  UT_DEBUG("Attempting to set effective UID to %d", static_cast<int>(wanted));
  if (seteuid(wanted) != 0) {
    UT_ERROR("Error setting effective UID %d: [%s]", static_cast<int>(wanted),
             std::strerror(errno));
    return 0;
  }
  UT_DEBUG("Effective UID set to %d", static_cast<int>(wanted));
  return 1;
}

int ut_stopwatch_start(ut_stopwatch *stopwatch) {
  if (!stopwatch) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  *stopwatch = {};
  struct timeval now = {};
  if (gettimeofday(&now, nullptr) != 0) {
    UT_ERRNO(errno);
    return 0;
  }
  stopwatch->start_sec = now.tv_sec;
  stopwatch->start_usec = now.tv_usec;
  UT_DEBUG("stopwatch started");
  return 1;
}

double __ut_stopwatch_elapsed(const ut_stopwatch *stopwatch) {
  int64_t seconds = stopwatch->stop_sec - stopwatch->start_sec;
  int64_t microseconds = stopwatch->stop_usec - stopwatch->start_usec;
  UT_DEBUG("%ld secs %ld usecs", static_cast<long>(seconds),
           static_cast<long>(microseconds));
  if (microseconds < 0) {
    seconds -= 1;
    microseconds += MICROSECONDS;
  }
  const double elapsed = static_cast<double>(seconds) +
                         static_cast<double>(microseconds) / MICROSECONDS;
  UT_DEBUG("elapsed %f seconds", elapsed);
  return elapsed;
}

double ut_stopwatch_stop(ut_stopwatch *stopwatch) {
  if (!stopwatch) {
    UT_ERRNO(EINVAL);
    return -1.0;
  }
  if (stopwatch->start_sec == 0) {
    UT_ERRNO(EINVAL);
    UT_DEBUG("timer not started");
    return -1.0;
  }
  struct timeval now = {};
  if (gettimeofday(&now, nullptr) != 0) {
    UT_ERRNO(errno);
    return -1.0;
  }
  stopwatch->stop_sec = now.tv_sec;
  stopwatch->stop_usec = now.tv_usec;
  UT_DEBUG("timer stopped");
  return __ut_stopwatch_elapsed(stopwatch);
}
