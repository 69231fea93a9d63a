#include "frame/verdict.h"

#include "rules/notice.h"
#include "rules/product.h"
#include "util/plugin_log.h"
#include "util/printable.h"
#include "util/raii.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

// Used when even the notice cannot be composed (out of memory): the command
// must still be refused, so a fixed text stands in.
constexpr char FALLBACK_NOTICE[] =
    "550 Your message was rejected by this system and was not delivered.\r\n";

// qmail-spp reads one command a line, so a line feed inside a line (from a
// peer's value in a custom notice) would start a line of the peer's
// choosing: it is written as a blank.
void write_status_line(char prefix, const char *line) {
  std::putchar(prefix);
  size_t length = std::strlen(line);
  for (size_t i = 0; i < length; ++i) {
    const bool own_end = i + 1 == length;
    std::putchar(line[i] == '\n' && !own_end ? ' ' : line[i]);
  }
}

// Splits `text` in place at every CR LF into lines that each end in one LF.
int list_lines(char *text, string_list **lines) {
  char *line = text;
  while (*line) {
    if (string_list_append(lines, line))
      return -1;
    char *cr = std::strstr(line, "\r\n");
    if (!cr)
      break;
    cr[0] = '\n';
    cr[1] = '\0';
    line = cr + 2;
  }
  return 0;
}

} // namespace

int run_checks(engine_handle handle, spp_state record) {
  check_result *result = engine_check(print_verdict, nullptr, handle, record);
  if (!result)
    return 0;
  // The summary quotes the peer's values: a control byte in one would
  // split or forge a log line.
  make_printable(result->summary);
  plugin_log(LOG_INFO, "%s", result->summary ? result->summary : "(null)");
  int rejected = result->rejected == 1 ? 1 : 0;
  free_result(result);
  return rejected;
}

int print_verdict(string_list *lines, void *) {
  for (const string_list *n = lines; n; n = n->next)
    write_status_line(n->next ? 'P' : 'E', n->value ? n->value : "");
  return 0;
}

int emit_notice(int notice_id, verdict_output output, void *context,
                spp_state record) {
  if (!output)
    return -1;
  heap_text composed(
      compose_notice(notice_id, "system", CORVANE_BANNER, record));
  char fallback[sizeof FALLBACK_NOTICE];
  std::memcpy(fallback, FALLBACK_NOTICE, sizeof fallback);
  char *text = composed ? composed.get() : fallback;
  string_list *lines = nullptr;
  int rc = list_lines(text, &lines) == 0 ? output(lines, context) : -1;
  string_list_clear(&lines);
  return rc;
}
