// Entries corvane-admin refuses because the plug-in could never match them or
// would stall on them, and the resource ceilings that bound a costly input.

#include "admin/admin_lists.h"
#include "engine/list_files.h"
#include "util/resource_limits.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct entry_case {
  const char *name;
  int list;
  std::string entry;
  const char *refusal; // the start of the reason; null when accepted
};

const char *const NOT_AS_CLIENT = "' is not written as a client's address is";
const char *const NO_QUAD = "' is no dotted-quad IPv4 address";
const char *const COSTLY = "' is too costly: compiling and trying it took "
                           "more than 1 s of processor time or 256 MiB of "
                           "memory; the plug-in would stall on every command";

TEST(ListEntryProblem, RefusesWhatThePlugInCouldNeverMatchOrWouldStallOn) {
  const entry_case cases[] = {
      {"plain address", BLOCKED_IPS, "192.0.2.10", nullptr},
      {"lowest", EXEMPT_IPS, "0.0.0.0", nullptr},
      {"highest", BLOCKED_IPS, "255.255.255.255", nullptr},
      {"hexadecimal part", BLOCKED_IPS, "0x7f.0.0.1", NOT_AS_CLIENT},
      {"leading zero", EXEMPT_IPS, "192.0.2.010", NOT_AS_CLIENT},
      {"four digits", BLOCKED_IPS, "192.0.2.0255", NOT_AS_CLIENT},
      {"part over 255", BLOCKED_IPS, "192.0.2.256", NO_QUAD},
      {"three parts", BLOCKED_IPS, "192.0.2", NO_QUAD},
      {"an address list takes any text", BLOCKED_FROM, "0x7f.0.0.1", nullptr},
      {"wildcard", BLOCKED_FROM, "*@example.com", nullptr},
      {"pattern", FROM_WHITELIST, "*a(b|c)+@ex.*\\.com", nullptr},
      {"invalid pattern", BLOCKED_FROM, "*@[x", "' is no valid pattern (Unm"},
      {"compilation needs gigabytes", BLOCKED_FROM, "*a" + std::string(22, '+'),
       COSTLY},
      {"match backtracks without end", EXEMPT_USERS, "*((a|aa)*)*\\1b", COSTLY},
  };
  for (const entry_case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_EQ(list_entry_problem(c.list, c.entry.c_str(), why),
              c.refusal != nullptr);
    // The reason's start; no reason at all for an accepted entry.
    const std::string head = c.refusal ? "'" + c.entry + c.refusal : "";
    EXPECT_EQ(why.substr(0, c.refusal ? head.size() : why.npos), head);
  }
}

struct limit_case {
  const char *name;
  rlimit present;
  rlim_t ceiling;
  rlimit lowered;
};

TEST(LoweredLimit, CapsSoftAndHardAndNeverRaises) {
  constexpr rlim_t MiB = 1 << 20, NONE = RLIM_INFINITY;
  const limit_case cases[] = {
      {"no limit yet", {NONE, NONE}, 512 * MiB, {512 * MiB, 512 * MiB}},
      {"lower soft stays",
       {100 * MiB, NONE},
       512 * MiB,
       {100 * MiB, 512 * MiB}},
      {"lower hard stays",
       {200 * MiB, 300 * MiB},
       512 * MiB,
       {200 * MiB, 300 * MiB}},
      {"no ceiling", {100 * MiB, NONE}, NONE, {100 * MiB, NONE}},
  };
  for (const limit_case &c : cases) {
    SCOPED_TRACE(c.name);
    const rlimit lowered = lowered_limit(c.present, c.ceiling);
    EXPECT_EQ(lowered.rlim_cur, c.lowered.rlim_cur);
    EXPECT_EQ(lowered.rlim_max, c.lowered.rlim_max);
  }
}

TEST(PluginAddressSpace, IsLimitedOnlyInTheReleaseBuildWithoutSanitizer) {
  EXPECT_EQ(plugin_address_space_ceiling(true, false), rlim_t{512} << 20);
  EXPECT_EQ(plugin_address_space_ceiling(true, true), RLIM_INFINITY);
  EXPECT_EQ(plugin_address_space_ceiling(false, false), RLIM_INFINITY);
}

} // namespace
