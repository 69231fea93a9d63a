#include "util/ut_stringutils.h"

#include "util/ut_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_visible(unsigned char c) { return c >= '!' && c <= '~'; }

// Moves every byte that `drop` selects out of the string, in place.
template <typename Drop> void squeeze(char *text, Drop drop) {
  char *to = text;
  for (const char *from = text; *from; ++from)
    if (!drop(from))
      *to++ = *from;
  *to = '\0';
}

} // namespace

int ut_strcat(char **string, const char *text) {
  if (!text || !string) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  const size_t add = std::strlen(text);
  char *block;
  size_t have = 0;
  if (*string) {
    UT_DEBUG("destination set - reallocating length");
    have = std::strlen(*string);
    // The text may lie inside the block that realloc moves.
    const bool inside = text >= *string && text <= *string + have;
    const size_t offset = inside ? static_cast<size_t>(text - *string) : 0;
    block = static_cast<char *>(std::realloc(*string, have + add + 1));
    if (!block) {
      UT_ERRNO(ENOMEM);
      return 0;
    }
    if (inside)
      text = block + offset;
    UT_DEBUG("destination length reallocated");
  } else {
    UT_DEBUG("destination is NULL - new string");
    block = static_cast<char *>(std::calloc(add + 1, 1));
    if (!block) {
      UT_ERRNO(ENOMEM);
      return 0;
    }
    UT_DEBUG("allocated");
  }
  std::memmove(block + have, text, add);
  block[have + add] = '\0';
  *string = block;
  UT_DEBUG("string appended [%s]", block);
  return 1;
}

int ut_ccat(char **string, char character) {
  if (character == '\0' || !string) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  char *block;
  size_t have = 0;
  if (*string) {
    UT_DEBUG("destination set - reallocating length");
    have = std::strlen(*string);
    block = static_cast<char *>(std::realloc(*string, have + 2));
    if (!block) {
      UT_ERRNO(ENOMEM);
      return 0;
    }
    block[have + 1] = '\0';
    UT_DEBUG("destination length reallocated");
  } else {
    UT_DEBUG("destination is NULL - new string");
    block = static_cast<char *>(std::calloc(2, 1));
    if (!block) {
      UT_ERRNO(ENOMEM);
      return 0;
    }
    UT_DEBUG("allocated");
  }
  block[have] = character;
  *string = block;
  UT_DEBUG("character appended [%s]", block);
  return 1;
}

int ut_ltoa(char **string, int64_t number) {
  if (!string) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  UT_DEBUG("converting [%" PRId64 "]", number);
  int size = 1;
  if (number < 0) {
    UT_DEBUG("added room for '-' sign");
    ++size;
  }
  uint64_t magnitude = number < 0 ? 0 - static_cast<uint64_t>(number)
                                  : static_cast<uint64_t>(number);
  do {
    ++size;
    magnitude /= 10;
  } while (magnitude);
  UT_DEBUG("determined buffer size of %d", size);
  char *block = static_cast<char *>(std::calloc(static_cast<size_t>(size), 1));
  if (!block) {
    UT_ERRNO(ENOMEM);
    return 0;
  }
  UT_DEBUG("buffer allocated");
  std::snprintf(block, static_cast<size_t>(size), "%" PRId64, number);
  if (*string) {
    UT_DEBUG("destination buffer already set - calling free to replace");
    std::free(*string);
  }
  *string = block;
  UT_DEBUG("converted to %s", block);
  return 1;
}

int ut_icat(char **string, int64_t number) {
  if (!string) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  char *digits = nullptr;
  if (!ut_ltoa(&digits, number))
    return 0;
  int appended = ut_strcat(string, digits);
  std::free(digits);
  return appended;
}

void ut_lower(char *text) {
  if (!text) {
    UT_ERRNO(EINVAL);
    return;
  }
  UT_DEBUG("converting from [%s]", text);
  for (char *c = text; *c; ++c)
    if (*c >= 'A' && *c <= 'Z')
      *c = static_cast<char>(*c - 'A' + 'a');
  UT_DEBUG("converted to [%s]", text);
}

void ut_upper(char *text) {
  if (!text) {
    UT_ERRNO(EINVAL);
    return;
  }
  UT_DEBUG("converting from [%s]", text);
  for (char *c = text; *c; ++c)
    if (*c >= 'a' && *c <= 'z')
      *c = static_cast<char>(*c - 'a' + 'A');
  UT_DEBUG("converted to [%s]", text);
}

void ut_trim(char **string) {
  if (!string || !*string) {
    UT_ERRNO(EINVAL);
    return;
  }
  char *text = *string;
  UT_DEBUG("parameter [%s]", text);
  if (!*text)
    return;
  const char *start = text;
  while (is_space(static_cast<unsigned char>(*start)))
    ++start;
  UT_DEBUG("found start point: [%s]", start);
  // From the terminator back to the last visible byte, never examining the
  // start byte itself; a string of whitespace keeps just its terminator.
  const char *end = start + std::strlen(start);
  while (end > start && !is_visible(static_cast<unsigned char>(*end)))
    --end;
  UT_DEBUG("found end point");
  const size_t kept = static_cast<size_t>(end - start) + 1;
  char *block = static_cast<char *>(std::calloc(kept + 1, 1));
  if (!block) {
    UT_ERRNO(ENOMEM);
    return;
  }
  UT_DEBUG("new buffer allocated-length %ld", static_cast<long>(kept + 1));
  std::memcpy(block, start, kept);
  std::free(text);
  *string = block;
  UT_DEBUG("str is now [%s]", block);
}

void ut_chomp(char **string) {
  if (!string || !*string) {
    UT_ERRNO(EINVAL);
    return;
  }
  UT_DEBUG("parameter [%s]", *string);
  char *text = *string;
  text[std::strcspn(text, "\r\n")] = '\0';
  if (char *shrunk =
          static_cast<char *>(std::realloc(text, std::strlen(text) + 1)))
    *string = shrunk;
  UT_DEBUG("converted to [%s]", *string);
}

void ut_simplify_whitespace(char **string) {
  if (!string || !*string) {
    UT_ERRNO(EINVAL);
    return;
  }
  UT_DEBUG("parameter [%s]", *string);
  if (!**string) {
    UT_DEBUG("empty string: nothing to simplify");
    return;
  }
  ut_trim(string);
  char *text = *string;
  char *to = text;
  for (const char *from = text; *from;) {
    const char *run = from;
    while (is_space(static_cast<unsigned char>(*run)))
      ++run;
    if (run - from >= 2) {
      *to++ = ' ';
      from = run;
    } else {
      *to++ = *from++;
    }
  }
  *to = '\0';
  UT_DEBUG("simplified is [%s]", text);
}

void ut_strip_whitespace(char **string) {
  if (!string || !*string) {
    UT_ERRNO(EINVAL);
    return;
  }
  if (!**string) {
    UT_DEBUG("no length to string... no point in going on");
    return;
  }
  ut_trim(string);
  squeeze(*string, [](const char *c) {
    return is_space(static_cast<unsigned char>(*c));
  });
  UT_DEBUG("stripped is [%s]", *string);
}

int ut_str_replace(char **string, const char *search, const char *replacement) {
  if (!string || !*string || !**string || !search || !*search || !replacement) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  if (std::strcmp(search, replacement) == 0) {
    UT_DEBUG("search and replace patterns are the same: nothing to do [%s]",
             search);
    return 1;
  }
  if (!std::strstr(*string, search)) {
    UT_DEBUG("pattern not found");
    return 1;
  }
  const size_t search_len = std::strlen(search);
  char *rebuilt = nullptr;
  for (const char *at = *string; *at;) {
    int appended;
    if (std::strncmp(at, search, search_len) == 0) {
      UT_DEBUG("Pattern %s found - replacing with %s", search, replacement);
      appended = ut_strcat(&rebuilt, replacement);
      at += search_len;
    } else {
      appended = ut_ccat(&rebuilt, *at++);
    }
    if (!appended) {
      std::free(rebuilt);
      return 0;
    }
  }
  UT_DEBUG("source string [%s] is now [%s]", *string, rebuilt);
  std::free(*string);
  *string = rebuilt;
  return 1;
}
