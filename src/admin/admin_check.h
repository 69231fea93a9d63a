// admin_check: `corvane-admin check [--user U]`, the installation's files
// read as the plug-in reads them, as the plug-in's user (--user, default
// qmaild; where there is no such user the files are read as the calling
// user and a note says so), with what it would pass over or fail on.
//
//   admin_check(context)  ADMIN_OK when no error was found, ADMIN_FAILED
//       otherwise (or when the user cannot be taken on). Prints one line a
//       finding, "PATH[:LINE]: error|warning: TEXT", then the counts.
//       Errors: an IP list line that is no address as TCPREMOTEIP writes
//       it, a '*' entry or pattern line that does not compile, a list line
//       of 1023 bytes or more (skipped), an unknown rule name in the rule
//       switches, an enabled map that is missing, short or corrupt, a line
//       of the known senders' networks that is dropped, skipped in part or
//       never consulted (explain_restrictions), a file the user cannot
//       read (or that is no regular file), a log folder or log file it
//       cannot write. Warnings: entries with blanks at their
//       ends, files past 500 lines, a missing pattern file, a resolver that
//       can hold one query longer than 3 s, custom notice segments that
//       any local user may rewrite.
//   resolver_wait_seconds(timeout, attempts, servers)  the longest one
//       query waits before it fails with that resolver configuration: each
//       attempt asks every server in turn, the first with `timeout`, the
//       n-th (from 0) with timeout << n divided by the number of servers,
//       at least 1 s.
#pragma once

#include "admin/admin_cli.h"

extern const char ADMIN_CHECK_USAGE[];

inline constexpr int RESOLVER_WAIT_LIMIT = 3; // seconds

int admin_check(const admin_context &context);
int resolver_wait_seconds(int timeout, int attempts, int servers);
