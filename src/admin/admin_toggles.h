// admin_toggles: the rule and IP-reputation switches of corvane-admin.
//
//   admin_rules(context)  `rules show|enable RULE|disable RULE|default
//       RULE`: show prints the ruleset as `corvane-spp -s` does; the others
//       edit rules.enabled and rules.disabled so that the rule ends in the
//       asked state, given its built-in default and that rules.disabled
//       wins: enable removes it from rules.disabled and, when it is off by
//       default, adds it to rules.enabled; disable adds it to
//       rules.disabled and removes it from rules.enabled; default removes
//       it from both. A name that is no rule is refused with the valid
//       names. The file whose change alone already gives the new state (or
//       still the old one) is written first, and if the second write fails
//       the first is put back.
//   admin_ipr(context)    `ipr show|enable NAME|disable NAME` for
//       ipr.enabled; enable warns when /var/cache/ipr holds no map file of
//       that name (and still enables it); a name that is empty, starts
//       with '.', or holds a '/', a blank or a control character is
//       refused.
// Both return an admin_status.
//
// A change reads, edits and writes the switch files while holding an
// exclusive flock of /etc/corvane/control (created 0755 when missing), the
// one lock of corvane-admin over all three files; so of many changes made at
// once none is lost. "cannot lock the switches in ..." (ADMIN_FAILED) when
// the folder cannot be opened or locked.
#pragma once

#include "admin/admin_cli.h"

extern const char ADMIN_RULES_USAGE[];
extern const char ADMIN_IPR_USAGE[];

int admin_rules(const admin_context &context);
int admin_ipr(const admin_context &context);
