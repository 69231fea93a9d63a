// list_admin: the operations that change the list and toggle files; the
// check run never calls them, it only reads the files (list_files).
//
// A list file is changed by update_list_file: it takes an exclusive,
// non-blocking flock on the list file (three attempts, one second apart),
// lets a writer put the new content into "<path>.tmp" (flushed and synced)
// and renames that file over the list, so that readers, which take no lock,
// see the old list or the new one, whole. After locking, the writer checks
// that the file it locked is still the one at the path (a concurrent
// writer's rename may have replaced it) and locks the new file instead; so
// only the holder of the live file's lock writes "<path>.tmp" and no
// concurrent update is lost. The writers copy every line of the old file,
// without the readers' limits of 500 lines and 1023 bytes, dropping only
// blank lines (and the deleted entry).
//
//   update_list_file(path, entry, errbuf, writer)  0 done; -1 failed, the
//       reason in errbuf (LIST_ERRBUF_SIZE bytes): "Unable to open list
//       file: %s", "Failed to update list: Could not acquire lock.", "Out
//       of memory.", "Unable to open temp file: %s", "Unable to write temp
//       file: %s" or the writer's own text. -1 with errbuf untouched when
//       an argument is missing. A failure leaves the list file as it was;
//       only a failed rename leaves "<path>.tmp" behind.
//   add_list_writer / del_list_writer   the writers of add_entry and
//       del_entry: 0 to commit; 1 with "Entry already exists." (a line
//       equal to the entry ignoring ASCII case), "File is full." (500 lines
//       or more, blank ones counted) or "Entry not found. (%s)"; or, when
//       the files fail them, "Unable to read list file: %s", "Unable to
//       write temp file: %s" or "Out of memory.".
//   add_entry(id, entry, handle) / del_entry(id, entry, handle)
//       0 done; 1 failed, "add_entry() ERROR: %s" (del_entry()) logged at
//       LOG_ERR and written on stdout; -1 for an unknown list id, logged
//       at LOG_WARNING (add_entry also writes it on stdout).
//   clear_exemption_list(id, handle)   0, the list file deleted; -1 for an
//       unknown id (warning logged).
//   iterate_exemption_list(id, cb, ctx, handle)  for_each_list_line over
//       the list's first 500 lines (0 when it is no regular file); -1 for
//       an unknown id (warning logged).
//   populate_list(0, names, handle)    write_list_file of ipr.enabled;
//       -1 for another id (warning logged).
//   clear_ipr_lists(0, handle)         0, ipr.enabled deleted; -1 for
//       another id (warning logged).
//   write_enabled_rules(names) / write_disabled_rules(names)
//       write_list_file of rules.enabled / rules.disabled.
//   clear_enabled_rules() / clear_disabled_rules()  0, the file deleted.
//   write_list_file(path, names)       0 written: every name in list order,
//       each followed by a line feed, through a temporary file of a unique
//       name ("<path>.tmp.XXXXXX") and a rename, so that writers at the
//       same time never mix their contents; 1 when it cannot be written
//       (the old file stays as it was). It takes no lock: a program that
//       reads, changes and writes a toggle file serialises that itself.
//       The file keeps its mode; a new one gets 0666 less the umask.
//
// Operations taking a handle log through its logger when one is set.
#pragma once

#include "engine/list_files.h"
#include "engine/rule_registry.h"
#include "engine/string_list.h"

#include <cstddef>
#include <cstdio>

inline constexpr size_t LIST_ERRBUF_SIZE = 1024;

using list_update_writer = int (*)(const char *path, std::FILE *temp,
                                   const char *entry, char *errbuf);

int update_list_file(const char *path, const char *entry, char *errbuf,
                     list_update_writer writer);
int add_list_writer(const char *path, std::FILE *temp, const char *entry,
                    char *errbuf);
int del_list_writer(const char *path, std::FILE *temp, const char *entry,
                    char *errbuf);

int add_entry(int list_id, const char *entry, engine_handle handle);
int del_entry(int list_id, const char *entry, engine_handle handle);
int clear_exemption_list(int list_id, engine_handle handle);
int iterate_exemption_list(int list_id, list_line_callback callback,
                           void *context, engine_handle handle);

int populate_list(int ipr_list_id, string_list *names, engine_handle handle);
int clear_ipr_lists(int ipr_list_id, engine_handle handle);
int write_enabled_rules(string_list *names);
int write_disabled_rules(string_list *names);
int clear_enabled_rules();
int clear_disabled_rules();
int write_list_file(const char *path, string_list *names);
