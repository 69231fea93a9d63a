#include "util/general_funcs.h"

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

int replace_all_within(char **string, const char *search,
                       const char *replacement, size_t limit) {
  if (!string || !*string || !search || !replacement || !*search)
    return 1;
  const size_t text_len = std::strlen(*string);
  const size_t search_len = std::strlen(search);
  const size_t repl_len = std::strlen(replacement);
  // Occurrences left to right without overlap: the search goes on behind
  // each one, so inserted text is never searched.
  auto next_hit = [&](size_t from) -> const char * {
    return static_cast<const char *>(
        memmem(*string + from, text_len - from, search, search_len));
  };
  size_t count = 0;
  for (const char *hit = next_hit(0); hit;
       hit = next_hit(static_cast<size_t>(hit - *string) + search_len))
    ++count;
  const size_t kept = text_len - count * search_len;
  if (kept > limit || (count && repl_len > (limit - kept) / count))
    return 0;
  const size_t size = kept + count * repl_len;
  if (size == SIZE_MAX)
    return 0;
  char *result = static_cast<char *>(std::malloc(size + 1));
  if (!result)
    return -1;
  char *out = result;
  size_t from = 0;
  for (const char *hit = next_hit(0); hit; hit = next_hit(from)) {
    const size_t at = static_cast<size_t>(hit - *string);
    out = static_cast<char *>(mempcpy(out, *string + from, at - from));
    out = static_cast<char *>(mempcpy(out, replacement, repl_len));
    from = at + search_len;
  }
  std::memcpy(out, *string + from, text_len - from + 1);
  std::free(*string);
  *string = result;
  return 1;
}

void replace_all(char **string, const char *search, const char *replacement) {
  (void)replace_all_within(string, search, replacement, SIZE_MAX);
}

bool is_regular_file(const char *path) {
  struct stat st;
  if (!path || stat(path, &st) != 0)
    return false;
  return S_ISREG(st.st_mode);
}
