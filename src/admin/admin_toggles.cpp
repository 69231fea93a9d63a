#include "admin/admin_toggles.h"

#include "engine/config_display.h"
#include "engine/list_admin.h"
#include "engine/list_files.h"
#include "lookup/ipr_map_builder.h"
#include "lookup/ipr_maps.h"
#include "util/general_funcs.h"
#include "util/raii.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <vector>

const char ADMIN_RULES_USAGE[] =
    "  corvane-admin rules show             the ruleset, as corvane-spp -s "
    "shows it\n"
    "  corvane-admin rules enable RULE      switch a rule on\n"
    "  corvane-admin rules disable RULE     switch a rule off\n"
    "  corvane-admin rules default RULE     give a rule its built-in state\n";

const char ADMIN_IPR_USAGE[] =
    "  corvane-admin ipr show               the enabled IP-reputation "
    "lists\n"
    "  corvane-admin ipr enable NAME        enable the map file NAME of "
    "/var/cache/ipr\n"
    "  corvane-admin ipr disable NAME       disable it\n"
    "  corvane-admin ipr build INPUT OUTPUT write a map file from a list of "
    "IPv4\n"
    "                                       addresses and CIDR blocks (one a "
    "line,\n"
    "                                       '#' comments)\n"
    "  corvane-admin ipr test NAME IP       is IP on the list NAME?\n";

namespace {

using names = std::vector<std::string>;

// The names of a list read by list_files, which is released.
names take_names(string_list *list) {
  names out;
  for (const string_list *n = list; n; n = n->next)
    if (n->value)
      out.emplace_back(n->value);
  string_list_free(&list);
  return out;
}

bool holds(const names &list, const char *name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

// The sorted list without any copy of `name`, and with one when `add`.
names with_name(names list, const char *name, bool add) {
  std::erase(list, name);
  if (add)
    list.emplace_back(name);
  std::sort(list.begin(), list.end());
  return list;
}

// Hands the names to `write` as a sorted string_list of borrowed texts.
// Returns write's result; 1 when memory runs out.
template <typename Write> int write_names(names &list, Write write) {
  string_list *borrowed = nullptr;
  for (std::string &name : list)
    if (string_list_insert(&borrowed, name.data(), 1) != 0) {
      string_list_clear(&borrowed);
      return 1;
    }
  int result = write(borrowed);
  string_list_clear(&borrowed);
  return result;
}

// The folder of the switch files.
std::string control_dir() {
  std::string dir = ipr_list_file_path(0);
  return dir.erase(dir.rfind('/'));
}

// The control folder, locked for a change of the switches: created when
// missing so that a first change has a place to go.
unique_fd lock_switches() {
  const std::string dir = control_dir();
  (void)mkdir(dir.c_str(), 0755);
  return lock_folder(dir.c_str());
}

int lock_failed() {
  const int error = errno;
  return admin_fail("cannot lock the switches in %s: %s", control_dir().c_str(),
                    std::strerror(error));
}

const rule_desc *rule_named(const char *name) {
  for (const rule_desc *rule = builtin_rules; rule->name; ++rule)
    if (std::strcmp(rule->name, name) == 0)
      return rule;
  return nullptr;
}

std::string rule_names() {
  std::string all;
  for (const rule_desc *rule = builtin_rules; rule->name; ++rule)
    all.append(all.empty() ? "" : ", ").append(rule->name);
  return all;
}

// One toggle file: its name for messages, its content before and after,
// and its writer (which deletes the file when the list is empty).
struct toggle_file {
  const char *name;
  names before, after;
  int (*write)(string_list *);
  int (*clear)();

  bool changed() const { return before != after; }
  int store(names &list) const {
    return list.empty() ? clear() : write_names(list, write);
  }
};

int switch_rule(const char *action, const rule_desc &rule) {
  const unique_fd lock = lock_switches();
  if (!lock.valid())
    return lock_failed();
  toggle_file enabled{"rules.enabled",
                      take_names(read_enabled_rules()),
                      {},
                      write_enabled_rules,
                      clear_enabled_rules};
  toggle_file disabled{"rules.disabled",
                       take_names(read_disabled_rules()),
                       {},
                       write_disabled_rules,
                       clear_disabled_rules};
  const bool on_by_default = rule.state != RULE_DISABLED;
  enabled.after =
      with_name(enabled.before, rule.name,
                std::strcmp(action, "enable") == 0 && !on_by_default);
  disabled.after = with_name(disabled.before, rule.name,
                             std::strcmp(action, "disable") == 0);
  const bool on = (on_by_default || holds(enabled.after, rule.name)) &&
                  !holds(disabled.after, rule.name);

  // A rule switched on is first allowed, then no longer refused; a rule
  // switched off is refused first. In between, the plug-in sees the old
  // state or the new one.
  toggle_file *first = on ? &enabled : &disabled;
  toggle_file *second = on ? &disabled : &enabled;
  if (first->changed() && first->store(first->after) != 0)
    return admin_fail("cannot write %s: %s", first->name, std::strerror(errno));
  if (second->changed() && second->store(second->after) != 0) {
    int error = errno;
    if (first->changed())
      (void)first->store(first->before);
    return admin_fail("cannot write %s: %s", second->name,
                      std::strerror(error));
  }
  return admin_done("rule %s: %s (built-in default %s)", rule.name,
                    state_labels[on ? RULE_ENABLED : RULE_DISABLED],
                    state_labels[rule.state]);
}

bool acceptable_map_name(const char *name) {
  if (!*name || name[0] == '.')
    return false;
  for (const char *p = name; *p; ++p)
    if (*p == '/' || std::isspace(static_cast<unsigned char>(*p)) ||
        std::iscntrl(static_cast<unsigned char>(*p)))
      return false;
  return true;
}

std::string map_file_of(const char *name) {
  return std::string(config.ipr_cache_dir).append("/").append(name);
}

int store_ipr_lists(names &list, const engine_handle &handle) {
  if (list.empty())
    return clear_ipr_lists(0, handle);
  return write_names(list, [&handle](string_list *borrowed) {
    return populate_list(0, borrowed, handle);
  });
}

} // namespace

int admin_rules(const admin_context &context) {
  const auto &args = context.args;
  if (args.size() == 1 && std::strcmp(args[0], "show") == 0) {
    (void)show_config(print_line_stdout, context.handle);
    return ADMIN_OK;
  }
  static const char *const actions[] = {"enable", "disable", "default"};
  if (args.size() != 2 ||
      std::none_of(std::begin(actions), std::end(actions),
                   [&](const char *a) { return std::strcmp(a, args[0]) == 0; }))
    return admin_usage_error(ADMIN_RULES_USAGE,
                             "rules: unknown action or wrong number of words");
  const rule_desc *rule = rule_named(args[1]);
  if (!rule)
    return admin_fail("'%s' is no rule; the rules are: %s", args[1],
                      rule_names().c_str());
  return switch_rule(args[0], *rule);
}

namespace {

int build_map(const char *input, const char *output) {
  char reason[512] = "";
  if (ipr_build_map(input, output, reason, sizeof reason) != 0)
    return admin_fail("ipr build: %s", reason);
  return admin_done("IPR map %s written from %s", output, input);
}

int test_map(const char *name, const char *ip) {
  if (!acceptable_map_name(name))
    return admin_fail("'%s' cannot name a map file", name);
  const std::string path = map_file_of(name);
  if (!is_regular_file(path.c_str()))
    return admin_fail("no map file %s", path.c_str());
  switch (lookupMapFile(path.c_str(), ip)) {
  case 1:
    std::printf("%s is on %s\n", ip, name);
    return ADMIN_OK;
  case 0:
    std::printf("%s is NOT on %s\n", ip, name);
    return ADMIN_OK;
  default:
    return admin_fail("cannot look %s up in %s (invalid address or corrupt "
                      "map; see the mail log)",
                      ip, path.c_str());
  }
}

} // namespace

int admin_ipr(const admin_context &context) {
  const auto &args = context.args;
  if (args.size() == 3 && std::strcmp(args[0], "build") == 0)
    return build_map(args[1], args[2]);
  if (args.size() == 3 && std::strcmp(args[0], "test") == 0)
    return test_map(args[1], args[2]);
  if (args.size() == 1 && std::strcmp(args[0], "show") == 0) {
    const names enabled = take_names(read_ipr_lists(0));
    if (enabled.empty())
      print_line_stdout("No IPR lists enabled.");
    for (const std::string &name : enabled)
      std::printf("%s%s\n", name.c_str(),
                  is_regular_file(map_file_of(name.c_str()).c_str())
                      ? ""
                      : "  (no map file in the cache)");
    return ADMIN_OK;
  }
  const bool enable = args.size() == 2 && std::strcmp(args[0], "enable") == 0;
  if (!enable && !(args.size() == 2 && std::strcmp(args[0], "disable") == 0))
    return admin_usage_error(ADMIN_IPR_USAGE,
                             "ipr: unknown action or wrong number of words");
  const char *name = args[1];
  if (!acceptable_map_name(name))
    return admin_fail("'%s' cannot name a map file", name);
  if (enable && !is_regular_file(map_file_of(name).c_str()))
    admin_warn("no map file %s exists; enabling it anyway",
               map_file_of(name).c_str());
  const unique_fd lock = lock_switches();
  if (!lock.valid())
    return lock_failed();
  const names enabled = take_names(read_ipr_lists(0));
  names after = with_name(enabled, name, enable);
  if (after != enabled && store_ipr_lists(after, context.handle) != 0)
    return admin_fail("cannot write ipr.enabled: %s", std::strerror(errno));
  return admin_done("IPR list %s: %s", name, enable ? "enabled" : "disabled");
}
