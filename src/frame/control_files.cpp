#include "frame/control_files.h"

#include "util/small_files.h"

#include <cstring>
#include <strings.h>

int read_control_flag(const char *path) {
  small_file file(path, 0);
  if (!file.opened())
    return 0;
  // The first line as fgets with a buffer of 1024 bytes reads it.
  size_t length;
  const char *line = file.lines().next_piece(1023, &length);
  if (!line)
    return 0;
  length = strnlen(line, length);
  while (length > 0 && std::memchr(" \t\n\r\v\f", line[length - 1], 6))
    --length;
  return (length == 4 && strncasecmp(line, "true", 4) == 0) ||
                 (length == 1 && line[0] == '1')
             ? 1
             : 0;
}
