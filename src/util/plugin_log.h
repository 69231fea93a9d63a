// plugin_log: the one road of the plug-in's own log lines to syslog.
//
//   plugin_log(priority, format, ...)  a log_func: vsyslog(3) of the line,
//       or the line handed to the installed route instead.
//   plugin_log_open(ident, facility, pid)  from here on, plugin_log sends
//       its lines itself, as vsyslog would after openlog(ident, LOG_PID,
//       facility) in the process `pid` (the same datagrams, under syslog's
//       mask): with the local time of local_clock, so that a run need not load
//       the time zone.
//   plugin_log_pid()                   the process id its lines carry,
//       taken at plugin_log_open; 0 before.
//   plugin_log_close()                 back to vsyslog, its connection
//       closed.
//   plugin_log_route(route)            installs a route (null: syslog
//       again). A route receives every line whatever the syslog mask; it is
//       how `corvane-admin try` shows the plug-in's trace on its standard
//       output and writes nothing to syslog.
#pragma once

#include <cstdarg>

using plugin_log_route_func = void (*)(int priority, const char *format,
                                       va_list args);

void plugin_log(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void plugin_log_route(plugin_log_route_func route);
void plugin_log_open(const char *ident, int facility, int pid);
int plugin_log_pid();
void plugin_log_close();
