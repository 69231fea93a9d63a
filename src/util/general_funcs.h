// general_funcs: small string and file helpers of the older function set.
//
// They report nothing; failure shows only in the results. A function that
// produces a string takes the address of the caller's pointer, frees the
// block it held and stores a new heap block there (release it with free()).
//
//   get_field(index, &s, text, delim)  1 with field `index` (from 0) of the
//                                      delimited text stored in s; 0 when
//                                      there is no such field or an
//                                      argument is missing (s untouched).
//   str_append(&s, text)               s becomes s + text; unchanged when
//                                      memory runs out.
//   replace_all(&s, search, repl)      every occurrence, left to right,
//                                      without rescanning inserted text;
//                                      unchanged when memory runs out.
//                                      Linear: one count, one allocation.
//   replace_all_within(&s, search, repl, limit)  the same, only when the
//                                      result holds at most `limit` bytes:
//                                      1 replaced (or nothing to do: an
//                                      argument missing), 0 the result
//                                      would be longer, -1 out of memory;
//                                      s is untouched unless 1.
//   is_regular_file(path)              true for a regular file (links are
//                                      followed); false otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

int get_field(uint32_t index, char **string, const char *text, char delimiter);
void str_append(char **string, const char *text);
void replace_all(char **string, const char *search, const char *replacement);
[[nodiscard]] int replace_all_within(char **string, const char *search,
                                     const char *replacement, size_t limit);
bool is_regular_file(const char *path);
