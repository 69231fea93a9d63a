// log_func: the shape of every log callback in the program.
//
// A log callback takes a syslog priority, a printf format and its arguments,
// exactly like syslog(3) itself, so that syslog can be passed wherever a
// log_func is wanted. An absent (null) log_func means "log nothing".
#pragma once

typedef void (*log_func)(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
