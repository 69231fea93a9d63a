#include "engine/config_display.h"

#include "util/raii.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *const state_labels[3] = {"Disabled", "Enabled", "AlwaysOn"};

namespace {

constexpr int STATE_COLUMN = 11;

const char *state_label(uint8_t state) {
  return state < 3 ? state_labels[state] : "";
}

// A fill of blanks that stays valid for the whole line; one blank when the
// fill cannot be allocated.
class fill {
public:
  fill(int used, int width) : text_(pad_spaces(used, width)) {}
  const char *get() const { return text_ ? text_.get() : " "; }

private:
  heap_text text_;
};

__attribute__((format(printf, 2, 3))) void
print_formatted(line_printer print, const char *format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  print(line);
}

int name_width(const rule_desc *rules) {
  size_t longest = 0;
  for (const rule_desc *r = rules; r && r->name; ++r)
    longest = std::max(longest, std::strlen(r->name));
  return static_cast<int>(longest) + 3;
}

} // namespace

char *pad_spaces(int used, int width) {
  int gap = width - used;
  if (used >= width || gap > 1024)
    gap = 0;
  auto *blanks = static_cast<char *>(std::malloc(static_cast<size_t>(gap) + 1));
  if (!blanks)
    return nullptr;
  std::memset(blanks, ' ', static_cast<size_t>(gap));
  blanks[gap] = '\0';
  return blanks;
}

void print_line_stderr(const char *text) { std::fprintf(stderr, "%s\n", text); }

int show_config(line_printer print, engine_handle handle) {
  const int width = name_width(handle.enabled_rules);
  print("Current Ruleset (rules are checked in order listed):");
  print("");
  {
    fill name(4, width), current(7, STATE_COLUMN), mua(7, STATE_COLUMN);
    print_formatted(print, "RULE%sDEFAULT%sCURRENT%sMUA->MTA", name.get(),
                    current.get(), mua.get());
    print_formatted(print, "====%s=======%s=======%s========", name.get(),
                    current.get(), mua.get());
  }
  const rule_desc *current = handle.enabled_rules;
  for (const rule_desc *rule = handle.default_rules; rule && rule->name;
       ++rule) {
    const char *now =
        current && current->name ? state_label(current->state) : "";
    const char *was = state_label(rule->state);
    fill name(static_cast<int>(std::strlen(rule->name)), width);
    fill after_default(static_cast<int>(std::strlen(was)), STATE_COLUMN);
    fill after_current(static_cast<int>(std::strlen(now)), STATE_COLUMN);
    print_formatted(print, "%s%s%s%s%s%s%s", rule->name, name.get(), was,
                    after_default.get(), now, after_current.get(),
                    rule->mua_ok ? "Yes" : "No");
    if (current && current->name)
      ++current;
  }
  print("");
  print("Enabled IPR Lists:");
  print("==================");
  if (!handle.ipr_lists)
    print("No IPR lists enabled.");
  for (const string_list *n = handle.ipr_lists; n; n = n->next)
    if (n->value)
      print(n->value);
  return 0;
}
