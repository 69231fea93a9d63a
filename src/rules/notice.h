// notice: composition of the 550 reply for a rejected SMTP command.
//
//   compose_notice(id, system_name, banner, record)
//       With a custom text stored for the notice id: one line
//       "550 <text with placeholders filled>. Protection provided by:
//       <banner>". Otherwise the standard six-line reply with the
//       catalogue's reason and URL. Every line ends in CR LF. Returns a heap
//       text (free()), or null when no text could be formatted.
//
// Placeholders, filled in this order, each pass over the previous result:
// %IP% remote_ip, %HELO% helo, %FROM% mail_from, %TO% rcpt_to, %RDNS%
// remote_host. An absent field leaves its token in place.
#pragma once

#include "frame/load_spp_env.h"

char *compose_notice(int notice_id, const char *system_name, const char *banner,
                     spp_state record);
