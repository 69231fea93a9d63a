// resource_limits: ceilings a process puts on itself, so that one costly
// input (a pattern whose compilation needs gigabytes, a match that runs for
// minutes) ends in a failure the program already handles instead of
// exhausting the machine.
//
//   plugin_address_space_ceiling(release_build, sanitized)  the address
//       space corvane-spp allows itself: PLUGIN_ADDRESS_SPACE (512 MiB, far
//       above any real run) in the static release build, RLIM_INFINITY (no
//       ceiling) in a build with a sanitizer, whose shadow memory reserves
//       terabytes of address space, and in the dev build that valgrind
//       runs.
//   lowered_limit(present, ceiling)  the limit with its soft and its hard
//       value each at most `ceiling`; a lower value stays (never raised).
//   lower_limit(resource, ceiling)   applies lowered_limit to the process's
//       present limit of `resource` (setrlimit; no call at all for a
//       ceiling of RLIM_INFINITY); false when getrlimit or setrlimit fails,
//       the limit then left as it was.
//   address_space_in_use()           the bytes of address space the process
//       has mapped now (from /proc/self/statm); 0 when that cannot be read.
#pragma once

#include <cstddef>
#include <sys/resource.h>

inline constexpr rlim_t PLUGIN_ADDRESS_SPACE = rlim_t{512} << 20;

rlim_t plugin_address_space_ceiling(bool release_build, bool sanitized);
struct rlimit lowered_limit(const struct rlimit &present, rlim_t ceiling);
bool lower_limit(int resource, rlim_t ceiling);
size_t address_space_in_use();
