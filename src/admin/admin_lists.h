// admin_lists: `corvane-admin list NAME show|add ENTRY|del ENTRY|clear`,
// the five exemption and block lists by file name.
//
//   admin_list(context)          an admin_status. `add` refuses an entry
//       that the plug-in would pass over (see list_entry_problem) unless
//       --force is given; add_entry and del_entry report their failures on
//       stdout and, through the logger, on stderr.
//   list_entry_problem(id, entry, &why)  true when the plug-in would never
//       match `entry` in list `id`, with the reason in `why`: an empty
//       entry, a line feed, blanks at its ends, 1023 bytes or more, an IP
//       list entry that is no dotted quad or not four decimal numbers 0 to
//       255 without leading zeros (as TCPREMOTEIP always is), or an address
//       pattern with '*' that does not compile as the plug-in compiles it
//       or is too costly. The pattern is compiled and matched against a
//       few long addresses in a child process bounded to 1 s of processor
//       time and 256 MiB more address space; a child that fails or is
//       killed means too costly (the plug-in would stall or run out of
//       memory on every command).
#pragma once

#include "admin/admin_cli.h"

#include <string>

extern const char ADMIN_LIST_USAGE[];

int admin_list(const admin_context &context);
bool list_entry_problem(int list_id, const char *entry, std::string &why);
