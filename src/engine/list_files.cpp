#include "engine/list_files.h"

#include "lookup/dns_lookup.h"
#include "util/fd_io.h"
#include "util/fd_lines.h"
#include "util/raii.h"
#include "util/small_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

struct list_kind {
  const char *path;
  size_t shortest_value;
  bool holds_ips;
};

const list_kind *kind_of(int list_id) {
  static const list_kind kinds[] = {
      {"/etc/corvane/from_whitelist", 6, false},
      {"/etc/corvane/exempt_ips", 7, true},
      {"/etc/corvane/exempt_users", 6, false},
      {"/etc/corvane/blocked_ips", 7, true},
      {"/etc/corvane/blocked_from", 6, false},
  };
  if (list_id < FROM_WHITELIST || list_id > BLOCKED_FROM)
    return nullptr;
  return &kinds[list_id - 1];
}

const char *value_for(int list_id, const spp_state &record) {
  switch (list_id) {
  case FROM_WHITELIST:
  case BLOCKED_FROM:
    return record.mail_from;
  case EXEMPT_IPS:
  case BLOCKED_IPS:
    return record.remote_ip;
  case EXEMPT_USERS:
    return record.rcpt_to;
  default:
    return nullptr;
  }
}

int match_address_line(const char *line, void *value) {
  return *line && wildcard_match(line, static_cast<const char *>(value));
}

int match_ip_line(const char *line, void *value) {
  return isIPAddress(line) == 1 &&
         wildcard_match(line, static_cast<const char *>(value));
}

int insert_name_copy(const char *line, void *list) {
  if (!*line)
    return 0;
  char *copy = strdup(line);
  if (copy && string_list_insert(static_cast<string_list **>(list), copy, 1))
    std::free(copy);
  return 0;
}

string_list *read_names(const char *path) {
  string_list *names = nullptr;
  (void)for_each_list_line(path, MAX_LIST_LINES, nullptr, insert_name_copy,
                           &names);
  return names;
}

} // namespace

line_read read_list_line(fd_lines &file, char **line) {
  size_t length;
  char *piece = file.next_piece(LIST_LINE_BUFFER - 1, &length);
  if (!piece)
    return line_read::end;
  *line = piece;
  if (piece[length - 1] == '\n') {
    piece[--length] = '\0';
    if (length > 0 && piece[length - 1] == '\r')
      piece[--length] = '\0';
    return line_read::taken;
  }
  if (length < LIST_LINE_BUFFER - 1) { // the unterminated last line
    piece[length] = '\0';
    return line_read::taken;
  }
  // A NUL ends the line as strlen sees it; the rest is the next piece.
  if (std::memchr(piece, '\0', length))
    return line_read::taken;
  // The piece filled before the line ended: the line is too long unless it
  // runs to the end of the file without a line feed.
  if (file.skip_line(line))
    return line_read::skipped;
  (*line)[length] = '\0';
  return line_read::taken;
}

int for_each_list_line(const char *path, int max, int *counter,
                       list_line_callback callback, void *context) {
  if (!path)
    return 0;
  small_file opened(path, LIST_FILE_MAX);
  if (!opened.opened())
    return 0;
  fd_lines &file = opened.lines();
  char *line;
  int count = 0;
  int result = 0;
  for (;;) {
    line_read got = read_list_line(file, &line);
    if (got == line_read::end)
      break;
    ++count;
    if (got == line_read::taken && callback) {
      result = callback(line, context);
      if (result != 0)
        break;
    }
    if (max > 0 && count >= max)
      break;
  }
  if (counter)
    *counter = count;
  return result;
}

namespace {

unsigned char ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// An entry of ASCII letters, digits, "@", "-", "_", "." and "*" (nearly
// every real one, such as "*@example.com") stands for an expression of
// literals, "." (any character) and ".*" (any run) anchored at the start.
bool is_plain_wildcard(const char *entry) {
  for (const char *p = entry; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9');
    if (!alnum && !std::strchr("@-_.*", c))
      return false;
  }
  return true;
}

// Matches such an entry against the start of `value` the way the compiled
// expression would, without compiling it: backtracking to the last "*" is
// enough, and once the entry is used up the rest of the value is allowed.
bool plain_wildcard_match(const char *entry, const char *value) {
  const char *star = nullptr;
  const char *resume = nullptr;
  const char *e = entry;
  const char *v = value;
  while (*e) {
    if (*e == '*') {
      star = ++e;
      resume = v;
    } else if (*v && (*e == '.' || ascii_lower(*e) == ascii_lower(*v))) {
      ++e;
      ++v;
    } else if (star && *resume) {
      e = star;
      v = ++resume;
    } else {
      return false;
    }
  }
  return true;
}

} // namespace

int wildcard_match(const char *entry, const char *value) {
  if (!entry || !value)
    return 0;
  if (!std::strchr(entry, '*'))
    return strcasecmp(entry, value) == 0 ? 1 : 0;
  if (is_plain_wildcard(entry))
    return plain_wildcard_match(entry, value) ? 1 : 0;
  unique_regex re;
  if (re.compile(wildcard_pattern(entry).c_str(), WILDCARD_REGEX_FLAGS) != 0)
    return 0;
  return re.matches(value) ? 1 : 0;
}

std::string wildcard_pattern(const char *entry) {
  std::string pattern = "^";
  for (const char *p = entry; *p; ++p) {
    if (*p == '*')
      pattern += ".*";
    else
      pattern += *p;
  }
  return pattern;
}

int match_exemption_list(int list_id, spp_state record) {
  const list_kind *kind = kind_of(list_id);
  if (!kind)
    return 0;
  const char *value = value_for(list_id, record);
  if (!value || std::strlen(value) < kind->shortest_value)
    return 0;
  list_line_callback matcher =
      kind->holds_ips ? match_ip_line : match_address_line;
  return for_each_list_line(kind->path, MAX_LIST_LINES, nullptr, matcher,
                            const_cast<char *>(value)) != 0
             ? 1
             : 0;
}

string_list *read_enabled_rules() { return read_names(RULES_ENABLED_PATH); }

string_list *read_disabled_rules() { return read_names(RULES_DISABLED_PATH); }

string_list *read_ipr_lists(int ipr_list_id) {
  const char *path = ipr_list_file_path(ipr_list_id);
  return path ? read_names(path) : nullptr;
}

int read_list_file(const char *path, string_list **list) {
  if (!list)
    return -1;
  (void)for_each_list_line(path, MAX_LIST_LINES, nullptr, insert_name_copy,
                           list);
  return 0;
}

const char *list_file_path(int list_id) {
  const list_kind *kind = kind_of(list_id);
  return kind ? kind->path : nullptr;
}

const char *ipr_list_file_path(int ipr_list_id) {
  return ipr_list_id == 0 ? IPR_ENABLED_PATH : nullptr;
}
