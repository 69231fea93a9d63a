#include "util/resource_limits.h"

#include "util/raii.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

rlim_t plugin_address_space_ceiling(bool release_build, bool sanitized) {
  return release_build && !sanitized ? PLUGIN_ADDRESS_SPACE : RLIM_INFINITY;
}

struct rlimit lowered_limit(const struct rlimit &present, rlim_t ceiling) {
  // RLIM_INFINITY is the largest rlim_t, so std::min treats it right.
  return {std::min(present.rlim_cur, ceiling),
          std::min(present.rlim_max, ceiling)};
}

bool lower_limit(int resource, rlim_t ceiling) {
  if (ceiling == RLIM_INFINITY)
    return true; // nothing to lower
  struct rlimit present;
  if (getrlimit(resource, &present) != 0)
    return false;
  const struct rlimit lowered = lowered_limit(present, ceiling);
  return setrlimit(resource, &lowered) == 0;
}

size_t address_space_in_use() {
  unique_file statm(std::fopen("/proc/self/statm", "re"));
  unsigned long pages = 0;
  if (!statm || std::fscanf(statm.get(), "%lu", &pages) != 1)
    return 0;
  const long page_size = sysconf(_SC_PAGESIZE);
  return page_size > 0 ? pages * static_cast<size_t>(page_size) : 0;
}
