#include "admin/admin_user.h"

#include <cerrno>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// A decimal user id, whole; false for anything else.
bool numeric_id(const char *text, uid_t &id) {
  if (*text < '0' || *text > '9')
    return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value >= static_cast<uid_t>(-1))
    return false;
  id = static_cast<uid_t>(value);
  return true;
}

} // namespace

plugin_user_result become_plugin_user(const char *name, std::string &became) {
  if (!name)
    name = PLUGIN_DEFAULT_USER;
  uid_t uid;
  gid_t gid;
  if (const struct passwd *account = getpwnam(name)) {
    uid = account->pw_uid;
    gid = account->pw_gid;
  } else if (numeric_id(name, uid)) {
    const struct passwd *by_id = getpwuid(uid);
    gid = by_id ? by_id->pw_gid : static_cast<gid_t>(uid);
  } else {
    return USER_MISSING;
  }
  became = name;
  if (geteuid() == uid && getuid() == uid)
    return USER_BECOME;
  if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
    return USER_REFUSED;
  return USER_BECOME;
}
