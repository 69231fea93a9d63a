// How long one DNS query can hold an SMTP command, by resolver settings.

#include "admin/admin_check.h"

#include <gtest/gtest.h>

namespace {

TEST(ResolverWait, EachAttemptAsksEveryServerWithAShareOfTheTimeout) {
  const struct {
    const char *name;
    int timeout, attempts, servers, seconds;
  } cases[] = {
      {"system defaults, one server", 5, 2, 1, 10},
      {"one second, once", 1, 1, 1, 1},
      {"three servers: 5, 10/3, 20/3", 5, 1, 3, 14},
      {"two servers, twice: 1, 1", 1, 2, 2, 4},
      {"no server", 5, 2, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.seconds,
              resolver_wait_seconds(c.timeout, c.attempts, c.servers));
  }
}

} // namespace
