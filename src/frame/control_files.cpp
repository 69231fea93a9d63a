#include "frame/control_files.h"

#include "util/fd_io.h"
#include "util/fd_lines.h"
#include "util/raii.h"

#include <cstring>
#include <fcntl.h>
#include <strings.h>

int read_control_flag(const char *path) {
  int64_t size = 0;
  unique_fd fd(open_regular(path, O_RDONLY, 0, &size));
  if (!fd.valid())
    return 0;
  // The first line as fgets with a buffer of 1024 bytes reads it.
  fd_lines file(fd.get(), size);
  size_t length;
  const char *line = file.next_piece(1023, &length);
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
