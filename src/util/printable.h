// printable: a peer's text as the programs show it in a reply line or a log
// line. Every control byte (0x01 to 0x1F, 0x7F; a C text cannot hold 0x00)
// becomes '?', so that a value can never end a line or start one of the
// peer's choosing; bytes from 0x80 up pass unchanged.
//
//   is_control_byte(c)   true for the bytes shown as '?'.
//   make_printable(text) replaces them in place; a null text is left alone.
//   printable(text)      a printable copy.
#pragma once

#include <string>
#include <string_view>

inline bool is_control_byte(unsigned char c) { return c < 0x20 || c == 0x7f; }

inline void make_printable(char *text) {
  for (; text && *text; ++text)
    if (is_control_byte(static_cast<unsigned char>(*text)))
      *text = '?';
}

inline std::string printable(std::string_view text) {
  std::string shown(text);
  for (char &c : shown)
    if (is_control_byte(static_cast<unsigned char>(c)))
      c = '?';
  return shown;
}
