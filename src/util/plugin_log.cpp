#include "util/plugin_log.h"

#include <syslog.h>

namespace {

constinit plugin_log_route_func installed_route = nullptr;

} // namespace

void plugin_log(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (installed_route)
    installed_route(priority, format, args);
  else
    vsyslog(priority, format, args);
  va_end(args);
}

void plugin_log_route(plugin_log_route_func route) { installed_route = route; }
