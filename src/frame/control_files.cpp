#include "frame/control_files.h"

#include "util/fd_io.h"
#include "util/raii.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

int read_control_flag(const char *path) {
  unique_file file(fopen_regular(path, "r", 0));
  if (!file)
    return 0;
  char line[1024];
  if (!std::fgets(line, sizeof line, file.get()))
    return 0;
  size_t length = std::strlen(line);
  while (length > 0 && std::strchr(" \t\n\r\v\f", line[length - 1]))
    line[--length] = '\0';
  return strcasecmp(line, "true") == 0 || std::strcmp(line, "1") == 0 ? 1 : 0;
}
