// verdict: the plug-in's side of the qmail-spp exchange.
//
//   run_checks(handle, record)  runs the engine and logs its summary at
//       LOG_INFO, control bytes shown as '?'; 1 when the command was
//       rejected, 0 otherwise (also when the engine failed).
//   print_verdict(lines, ctx)   writes "P<line>" for every line but the last
//       and "E<line>" for the last on standard output; 0.
//   emit_notice(id, output, ctx, record)  composes the notice, splits it at
//       each CR LF and hands the lines to `output`; its result, or -1 without
//       an output or when a line cannot be listed.
#pragma once

#include "engine/pipeline.h"
#include "engine/rule_registry.h"
#include "frame/load_spp_env.h"

int run_checks(engine_handle handle, spp_state record);
int print_verdict(string_list *lines, void *context);
int emit_notice(int notice_id, verdict_output output, void *context,
                spp_state record);
