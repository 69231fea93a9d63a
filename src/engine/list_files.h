// list_files: the administrator's list and toggle files, as the check run
// reads them.
//
// Every file holds one entry a line, no comments, no trimming. A line feed
// ends a line and one carriage return before it is dropped; a line of 1023
// bytes or more is skipped whole unless it is the file's unterminated last
// line (then its first 1023 bytes count). At most 500 lines are read, blank
// and skipped lines included.
//
//   match_exemption_list(id, record)  1 when the record's value for that
//       list is listed; 0 for an unknown id, an absent or too short value,
//       a missing file or no match.
//   wildcard_match(entry, value)      1 when they match: equal ignoring
//       ASCII case, or, when the entry has a '*', the entry as a case-blind
//       extended regular expression anchored at the start ('*' -> ".*").
//       An entry of letters, digits, "@-_." and '*' is matched without
//       compiling it, with the result the expression would give.
//   read_list_line(file, &line)       the next line of an open list file:
//       taken (`line` points at it in the reader's buffer, good until the
//       next call), skipped (too long; it still counts as a line) or end
//       (also when a read fails). A NUL byte ends the line where it stands.
//   for_each_list_line(path, max, &count, cb, ctx)  the first non-zero
//       callback result, else 0 (also when the file cannot be opened).
//       The file is read through small_file (at most LIST_FILE_MAX bytes;
//       from the small files' cache where it holds the file) and fd_lines.
//   read_enabled_rules / read_disabled_rules / read_ipr_lists(0)
//       the file's non-empty lines as owned copies in ascending byte order;
//       empty when the file is missing (or for an IPR list id other than 0).
//   read_list_file(path, &list)       0, or -1 without a list address.
//   list_file_path(id) / ipr_list_file_path(id)  the path, or null.
//   wildcard_pattern(entry)           the regular expression that a '*'
//       entry stands for: "^", then the entry with each '*' as ".*"; it is
//       compiled with WILDCARD_REGEX_FLAGS.
#pragma once

#include "engine/string_list.h"
#include "frame/load_spp_env.h"
#include "util/fd_lines.h"

#include <regex.h>
#include <string>

enum list_id {
  FROM_WHITELIST = 1,
  EXEMPT_IPS = 2,
  EXEMPT_USERS = 3,
  BLOCKED_IPS = 4,
  BLOCKED_FROM = 5,
};

inline constexpr int MAX_LIST_LINES = 500;
inline constexpr int LIST_LINE_BUFFER = 1024;

inline constexpr int WILDCARD_REGEX_FLAGS =
    REG_EXTENDED | REG_ICASE | REG_NOSUB;

inline constexpr const char *RULES_ENABLED_PATH =
    "/etc/corvane/control/rules.enabled";
inline constexpr const char *RULES_DISABLED_PATH =
    "/etc/corvane/control/rules.disabled";
inline constexpr const char *IPR_ENABLED_PATH =
    "/etc/corvane/control/ipr.enabled";

std::string wildcard_pattern(const char *entry);

enum class line_read { taken, skipped, end };

using list_line_callback = int (*)(const char *line, void *context);

int match_exemption_list(int list_id, spp_state record);
int wildcard_match(const char *entry, const char *value);
line_read read_list_line(fd_lines &file, char **line);
int for_each_list_line(const char *path, int max, int *counter,
                       list_line_callback callback, void *context);
string_list *read_enabled_rules();
string_list *read_disabled_rules();
string_list *read_ipr_lists(int ipr_list_id);
int read_list_file(const char *path, string_list **list);
const char *list_file_path(int list_id);
const char *ipr_list_file_path(int ipr_list_id);
