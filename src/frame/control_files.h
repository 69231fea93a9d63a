// control_files: the yes/no switches under /etc/corvane/control/.
//
//   read_control_flag(path)  1 when the file's first line, trailing white
//       space removed, is "true" in any case or exactly "1"; 0 otherwise,
//       also when the file is missing, unreadable or empty.
#pragma once

inline constexpr const char *DEBUG_CONTROL_FILE = "/etc/corvane/control/debug";
inline constexpr const char *DUMP_CORE_CONTROL_FILE =
    "/etc/corvane/control/dump_core";

int read_control_flag(const char *path);
