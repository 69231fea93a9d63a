// ut_stringutils: NUL-terminated heap strings of the utility library.
//
// An operation that may allocate, grow, shrink or replace a string takes the
// address of the caller's pointer, which holds a malloc'ed string or null
// (no string yet); the result is stored back there and freed by the caller
// with free(). On every failure the caller's pointer stays as it was: the
// same valid block, or null. Whitespace is the C locale's: space, \t, \n,
// \v, \f, \r; letters are ASCII.
//
//   ut_strcat(&s, text)       1 with text appended (s allocated when null);
//                             0 for a missing argument or no memory.
//   ut_ccat(&s, c)            the same for one character; NUL is refused.
//   ut_icat(&s, n)            the same for n's decimal text.
//   ut_ltoa(&s, n)            1 with s replaced by n's decimal text.
//   ut_lower(s), ut_upper(s)  change the case of ASCII letters in place.
//   ut_trim(&s)               leading whitespace and trailing bytes outside
//                             '!'..'~' removed, into a new block (an empty
//                             string is left as it is).
//   ut_chomp(&s)              cut at the first \r or \n.
//   ut_simplify_whitespace(&s) trimmed, every run of two or more whitespace
//                             bytes made one space.
//   ut_strip_whitespace(&s)   trimmed, every whitespace byte removed.
//   ut_str_replace(&s, search, replacement)
//                             1 with every occurrence replaced, left to
//                             right, inserted text not scanned again (also
//                             when nothing was found); 0 for a missing or
//                             empty s or search, a missing replacement, or
//                             no memory (s unchanged).
//
// Argument errors and allocation failures are reported (ut_log) with the
// system's texts for EINVAL and ENOMEM.
#pragma once

#include <cstdint>

int ut_strcat(char **string, const char *text);
int ut_ccat(char **string, char character);
int ut_icat(char **string, int64_t number);
int ut_ltoa(char **string, int64_t number);
void ut_lower(char *text);
void ut_upper(char *text);
void ut_trim(char **string);
void ut_chomp(char **string);
void ut_simplify_whitespace(char **string);
void ut_strip_whitespace(char **string);
int ut_str_replace(char **string, const char *search, const char *replacement);
