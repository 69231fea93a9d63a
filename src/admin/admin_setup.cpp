#include "admin/admin_setup.h"

#include "lookup/regex_lists.h"
#include "util/raii.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

const char ADMIN_SETUP_USAGE[] =
    "  corvane-admin setup [USER]           the folders and pattern files "
    "the\n"
    "                                       plug-in needs, its cache, log and "
    "core\n"
    "                                       folders given to USER (default\n"
    "                                       qmaild); never overwrites a file\n";

namespace {

constexpr const char *DEFAULT_USER = "qmaild";

struct folder {
  const char *path;
  mode_t mode;
  bool written_by_plugin;
};

// In creation order: each parent before its children.
const folder folders[] = {
    {"/etc/corvane", 0755, false},
    {"/etc/corvane/control", 0755, false},
    {"/etc/corvane/dynaregex", 0755, false},
    {"/var/cache/ipr", 0755, false},
    {"/var/cache/corvane", 0755, true},
    {"/var/log/corvane", 0755, true},
    {"/var/cores", 0755, false},
    {"/var/cores/corvane", 0750, true},
    {nullptr, 0, false},
};

struct setup_run {
  int changes = 0;
  bool failed = false;
};

__attribute__((format(printf, 2, 3))) void made(setup_run &run,
                                                const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  ++run.changes;
}

void failed(setup_run &run, const char *what, const char *path) {
  (void)admin_fail("setup: cannot %s %s: %s", what, path, std::strerror(errno));
  run.failed = true;
}

void make_folder(setup_run &run, const folder &f) {
  if (mkdir(f.path, f.mode) == 0) {
    made(run, "created %s/", f.path);
    return;
  }
  struct stat st;
  if (errno != EEXIST || stat(f.path, &st) != 0)
    return failed(run, "create", f.path);
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    failed(run, "use", f.path);
  }
}

// Gives a folder that root owns to the plug-in's user; a link in its place
// is not followed.
void give_folder(setup_run &run, const folder &f, const passwd &user) {
  unique_fd fd(open(f.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    if (errno == ELOOP || errno == ENOTDIR)
      admin_warn("setup: %s is a link: its owner is left as it is", f.path);
    else if (errno != ENOENT) // already reported by make_folder
      failed(run, "open", f.path);
    return;
  }
  if (st.st_uid == user.pw_uid)
    return;
  if (st.st_uid != 0) {
    admin_warn("setup: %s belongs to uid %u, not %s: left as it is", f.path,
               static_cast<unsigned>(st.st_uid), user.pw_name);
    return;
  }
  if (fchown(fd.get(), user.pw_uid, user.pw_gid) != 0)
    return failed(run, "give away", f.path);
  made(run, "gave %s/ to %s", f.path, user.pw_name);
}

void make_file(setup_run &run, const char *path, const char *content) {
  unique_fd fd(
      open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    if (errno != EEXIST)
      failed(run, "create", path);
    return;
  }
  const size_t length = std::strlen(content);
  if (write(fd.get(), content, length) != static_cast<ssize_t>(length) ||
      close(fd.release()) != 0)
    return failed(run, "write", path);
  made(run, "created %s", path);
}

} // namespace

int admin_setup(const admin_context &context) {
  if (context.args.size() > 1)
    return admin_usage_error(ADMIN_SETUP_USAGE,
                             "setup: give at most one user name");
  const char *user_name = context.args.empty() ? DEFAULT_USER : context.args[0];
  setup_run run;
  for (const folder *f = folders; f->path; ++f)
    make_folder(run, *f);

  char dyna[256];
  std::snprintf(dyna, sizeof dyna,
                "# Host names of dynamically assigned addresses, one extended\n"
                "# regular expression a line, matched ignoring case. This is "
                "the\n# pattern the plug-in uses while the file is missing:\n"
                "%s\n",
                default_dslregex);
  make_file(run, "/etc/corvane/dynaregex/dyna.regexes", dyna);
  make_file(run, "/etc/corvane/dynaregex/spam.regexes",
            "# Host names refused by check_reverse_dns_list, one extended\n"
            "# regular expression a line, matched ignoring case.\n");

  const passwd *user = getpwnam(user_name);
  if (!user)
    admin_warn("setup: no user '%s': /var/cache/corvane, /var/log/corvane and "
               "/var/cores/corvane stay as they are; run setup again once it "
               "exists",
               user_name);
  for (const folder *f = folders; user && f->path; ++f)
    if (f->written_by_plugin)
      give_folder(run, *f, *user);

  if (run.failed)
    return ADMIN_FAILED;
  if (run.changes == 0)
    return admin_done("setup: everything was in place");
  return admin_done("setup: %d change%s made", run.changes,
                    run.changes == 1 ? "" : "s");
}
