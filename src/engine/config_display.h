// config_display: what `corvane-spp -s` prints about the engine.
//
//   show_config(print, handle)  0; the ruleset in run order with DEFAULT,
//       CURRENT and MUA->MTA columns, then the enabled IPR lists, one
//       print call a line (lines longer than 1023 characters are cut).
//   print_line_stderr(text)     writes the text and a line feed to stderr.
//   pad_spaces(used, width)     a heap text of width - used blanks when
//       used < width and the gap is at most 1024; else the empty text; null
//       when memory runs out.
#pragma once

#include "engine/rule_registry.h"

using line_printer = void (*)(const char *text);

extern const char *const state_labels[3];

int show_config(line_printer print, engine_handle handle);
void print_line_stderr(const char *text);
char *pad_spaces(int used, int width);
