#include "admin/admin_lists.h"

#include "engine/list_admin.h"
#include "engine/list_files.h"
#include "lookup/dns_lookup.h"
#include "util/raii.h"

#include <cctype>
#include <cstdio>
#include <cstring>

const char ADMIN_LIST_USAGE[] =
    "  corvane-admin list NAME show         the entries the plug-in reads\n"
    "  corvane-admin list NAME add ENTRY    add an entry\n"
    "  corvane-admin list NAME del ENTRY    delete an entry (case-blind)\n"
    "  corvane-admin list NAME clear        delete the whole list\n"
    "    NAME: exempt_ips, exempt_users, from_whitelist, blocked_ips,\n"
    "          blocked_from\n";

namespace {

// The list whose file has the name `name`, or 0.
int list_named(const char *name) {
  for (int id = FROM_WHITELIST; id <= BLOCKED_FROM; ++id) {
    const char *base = std::strrchr(list_file_path(id), '/');
    if (std::strcmp(base + 1, name) == 0)
      return id;
  }
  return 0;
}

int print_entry(const char *line, void *) {
  if (*line)
    print_line_stdout(line);
  return 0;
}

bool holds_ips(int list_id) {
  return list_id == EXEMPT_IPS || list_id == BLOCKED_IPS;
}

} // namespace

bool list_entry_problem(int list_id, const char *entry, std::string &why) {
  const size_t length = std::strlen(entry);
  if (length == 0)
    why = "an empty entry matches nothing";
  else if (std::strchr(entry, '\n'))
    why = "an entry cannot hold a line feed";
  else if (std::isspace(static_cast<unsigned char>(entry[0])) ||
           std::isspace(static_cast<unsigned char>(entry[length - 1])))
    why = "an entry with blanks at its ends never matches";
  else if (length >= LIST_LINE_BUFFER - 1)
    why = "an entry of 1023 bytes or more is skipped by the plug-in";
  else if (holds_ips(list_id) && isIPAddress(entry) != 1)
    why.append("'").append(entry).append(
        "' is no dotted-quad IPv4 address; the plug-in passes over it");
  else if (!holds_ips(list_id) && std::strchr(entry, '*')) {
    unique_regex re;
    int rc = re.compile(wildcard_pattern(entry).c_str(), WILDCARD_REGEX_FLAGS);
    if (rc == 0)
      return false;
    char reason[256];
    regerror(rc, re.get(), reason, sizeof reason);
    why.append("'").append(entry).append("' is no valid pattern (");
    why.append(reason).append("); it would match nothing");
  } else
    return false;
  return true;
}

int admin_list(const admin_context &context) {
  const auto &args = context.args;
  if (args.size() < 2)
    return admin_usage_error(ADMIN_LIST_USAGE,
                             "list needs a NAME and an action");
  const int id = list_named(args[0]);
  if (!id)
    return admin_usage_error(ADMIN_LIST_USAGE, "no list is named '%s'",
                             args[0]);
  const char *name = args[0];
  const char *action = args[1];
  const bool with_entry =
      std::strcmp(action, "add") == 0 || std::strcmp(action, "del") == 0;
  if (args.size() != (with_entry ? 3u : 2u) ||
      (!with_entry && std::strcmp(action, "show") != 0 &&
       std::strcmp(action, "clear") != 0))
    return admin_usage_error(ADMIN_LIST_USAGE,
                             "list %s: unknown action or wrong number of words",
                             name);

  if (std::strcmp(action, "show") == 0) {
    (void)iterate_exemption_list(id, print_entry, nullptr, context.handle);
    return ADMIN_OK;
  }
  if (std::strcmp(action, "clear") == 0) {
    (void)clear_exemption_list(id, context.handle);
    return admin_done("%s: list cleared", name);
  }
  const char *entry = args[2];
  if (std::strcmp(action, "add") == 0) {
    std::string why;
    if (!context.force && list_entry_problem(id, entry, why))
      return admin_fail("%s: refused: %s (--force adds it anyway)", name,
                        why.c_str());
    if (add_entry(id, entry, context.handle) != 0)
      return ADMIN_FAILED;
    return admin_done("%s: added '%s'", name, entry);
  }
  if (del_entry(id, entry, context.handle) != 0)
    return ADMIN_FAILED;
  return admin_done("%s: deleted '%s'", name, entry);
}
