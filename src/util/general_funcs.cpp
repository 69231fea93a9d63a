#include "util/general_funcs.h"

#include "util/raii.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

int get_field(uint32_t index, char **string, const char *text, char delimiter) {
  if (!text || !string || !*text)
    return 0;
  std::string_view rest(text);
  for (uint32_t i = 0; i < index; ++i) {
    size_t cut = rest.find(delimiter);
    if (cut == std::string_view::npos)
      return 0;
    rest.remove_prefix(cut + 1);
  }
  std::string_view field = rest.substr(0, rest.find(delimiter));
  char *copy = static_cast<char *>(std::calloc(field.size() + 1, 1));
  if (!copy)
    return 0;
  std::memcpy(copy, field.data(), field.size());
  std::free(*string);
  *string = copy;
  return 1;
}

void str_append(char **string, const char *text) {
  if (!string || !text)
    return;
  size_t have = *string ? std::strlen(*string) : 0;
  size_t add = std::strlen(text);
  char *joined = static_cast<char *>(std::calloc(have + add + 1, 1));
  if (!joined)
    return;
  if (have)
    std::memcpy(joined, *string, have);
  std::memcpy(joined + have, text, add);
  std::free(*string);
  *string = joined;
}

void replace_all(char **string, const char *search, const char *replacement) {
  if (!string || !*string || !search || !replacement || !*search)
    return;
  const size_t search_len = std::strlen(search);
  const size_t repl_len = std::strlen(replacement);
  heap_text work(strdup(*string));
  if (!work)
    return;
  size_t from = 0;
  for (;;) {
    char *hit = std::strstr(work.get() + from, search);
    if (!hit)
      break;
    size_t before = static_cast<size_t>(hit - work.get());
    size_t after = std::strlen(hit + search_len);
    char *next =
        static_cast<char *>(std::malloc(before + repl_len + after + 1));
    if (!next)
      return;
    std::memcpy(next, work.get(), before);
    std::memcpy(next + before, replacement, repl_len);
    std::memcpy(next + before + repl_len, hit + search_len, after + 1);
    work.reset(next);
    from = before + repl_len;
  }
  std::free(*string);
  *string = work.release();
}

bool is_regular_file(const char *path) {
  struct stat st;
  if (!path || stat(path, &st) != 0)
    return false;
  return S_ISREG(st.st_mode);
}
