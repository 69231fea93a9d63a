// resource_limits: ceilings a process puts on itself, so that one costly
// input (a pattern whose compilation needs gigabytes, a match that runs for
// minutes) ends in a failure the program already handles instead of
// exhausting the machine.
//
//   lowered_limit(present, ceiling)  the limit with its soft and its hard
//       value each at most `ceiling`; a lower value stays (never raised).
//   lower_limit(resource, ceiling)   applies lowered_limit to the process's
//       present limit of `resource` (setrlimit); false when getrlimit or
//       setrlimit fails, the limit then left as it was.
//   address_space_in_use()           the bytes of address space the process
//       has mapped now (from /proc/self/statm); 0 when that cannot be read.
#pragma once

#include <cstddef>
#include <sys/resource.h>

struct rlimit lowered_limit(const struct rlimit &present, rlim_t ceiling);
bool lower_limit(int resource, rlim_t ceiling);
size_t address_space_in_use();
