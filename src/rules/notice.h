// notice: composition of the 550 reply for a rejected SMTP command.
//
//   compose_notice(id, system_name, banner, record)
//       With a custom text stored for the notice id: one line
//       "550 <text with placeholders filled>. Protection provided by:
//       <banner>". Otherwise the standard six-line reply with the
//       catalogue's reason and URL. Every line ends in CR LF. Returns a heap
//       text (free()), or null when no text could be formatted.
//   custom_notice_room(text, &count)
//       The octets that the one-line notice made of `text` leaves for the
//       values of its placeholders within a reply line (negative when the
//       text alone makes a longer line); `count` (may be null) receives the
//       number of placeholders the text uses.
//
// Placeholders, filled in this order, each pass over the previous result:
// %IP% remote_ip, %HELO% helo, %FROM% mail_from, %TO% rcpt_to, %RDNS%
// remote_host. An absent field leaves its token in place.
//
// The record's texts are the peer's (or a DNS server's): wherever a notice
// shows one, in a placeholder or in a catalogue reason, each control byte
// (0x01 to 0x1F, 0x7F) is shown as '?', so a value cannot end the reply
// line or start one. The administrator's own text keeps its bytes, line
// breaks included.
//
// A reply line holds at most NOTICE_LINE_MAX octets as qmail-smtpd sends it,
// reply code to CR LF inclusive (RFC 5321, 4.5.3.1.5). A notice whose lines
// all fit is composed exactly as above. Otherwise the record's texts are cut
// to the largest common length at which every line fits (or to nothing when
// even the fixed words are longer): values are cut, never the
// administrator's text, the catalogue's words or the banner.
#pragma once

#include "frame/load_spp_env.h"

#include <cstddef>

inline constexpr size_t NOTICE_LINE_MAX = 512;

char *compose_notice(int notice_id, const char *system_name, const char *banner,
                     spp_state record);
long custom_notice_room(const char *text, int *placeholder_count);
