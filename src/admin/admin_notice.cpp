#include "admin/admin_notice.h"

#include "rules/catalogue.h"
#include "rules/custom_notice.h"
#include "rules/notice.h"
#include "util/raii.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const char ADMIN_NOTICE_USAGE[] =
    "  corvane-admin notice show RULE       the custom rejection text of a "
    "notice\n"
    "  corvane-admin notice set RULE TEXT   replace the standard notice by "
    "TEXT\n"
    "  corvane-admin notice clear RULE      the standard notice applies "
    "again\n"
    "    RULE: a notice name (ip_blacklist, from_blacklist, require_helo, "
    "...)\n"
    "          or a notice id 1 to 46\n"
    "    TEXT may hold the placeholders %IP% %HELO% %FROM% %TO% %RDNS%\n";

namespace {

#define CORVANE_NOTICE_NAME(rule, ...) #rule,
const char *const notice_names[NOTICE_COUNT] = {
    CORVANE_NOTICES(CORVANE_NOTICE_NAME)};
#undef CORVANE_NOTICE_NAME

constexpr const char *PLACEHOLDERS = "%IP% %HELO% %FROM% %TO% %RDNS%";

// What a placeholder's value should find in the reply line before the
// plug-in has to cut it: room for a long host name or address.
constexpr long ROOM_PER_PLACEHOLDER = 64;

// Warns when the text leaves less than ROOM_PER_PLACEHOLDER octets of the
// reply line for each placeholder it uses, or is too long by itself.
void warn_about_room(const char *name, int id, const std::string &text) {
  int placeholders = 0;
  const long room = custom_notice_room(text.c_str(), &placeholders);
  if (room < 0)
    admin_warn("notice %s (%d): the text alone makes a reply line of %ld "
               "octets, more than the %zu an SMTP reply line may hold%s",
               name, id, static_cast<long>(NOTICE_LINE_MAX) - room,
               NOTICE_LINE_MAX,
               placeholders ? "; its placeholders will be left empty" : "");
  else if (room < ROOM_PER_PLACEHOLDER * placeholders)
    admin_warn("notice %s (%d): the text leaves %ld octets of the %zu-octet "
               "reply line for %d placeholder value(s), less than %ld each; "
               "longer values will be cut",
               name, id, room, NOTICE_LINE_MAX, placeholders,
               ROOM_PER_PLACEHOLDER);
}

std::string custom_notice_names() {
  std::string all;
  for (int id = 1; id < NOTICE_COUNT; ++id)
    all.append(id == 1 ? "" : ", ").append(notice_names[id]);
  return all;
}

bool has_control_character(const std::string &text) {
  for (unsigned char c : text)
    if (std::iscntrl(c))
      return true;
  return false;
}

} // namespace

int notice_id_named(const char *text) {
  if (std::isdigit(static_cast<unsigned char>(text[0]))) {
    char *end = nullptr;
    long id = std::strtol(text, &end, 10);
    return *end == '\0' && id >= 1 && id < NOTICE_COUNT ? static_cast<int>(id)
                                                        : 0;
  }
  for (int id = 1; id < NOTICE_COUNT; ++id)
    if (std::strcmp(notice_names[id], text) == 0)
      return id;
  return 0;
}

int admin_notice(const admin_context &context) {
  const auto &args = context.args;
  const char *action = args.empty() ? "" : args[0];
  const bool set = std::strcmp(action, "set") == 0;
  if (set ? args.size() < 3
          : (args.size() != 2 || (std::strcmp(action, "show") != 0 &&
                                  std::strcmp(action, "clear") != 0)))
    return admin_usage_error(ADMIN_NOTICE_USAGE,
                             "notice: unknown action or wrong number of words");
  const int id = notice_id_named(args[1]);
  if (!id)
    return admin_fail("'%s' names no notice that can have a custom text; the "
                      "notices are: %s (or their ids 1 to 46)",
                      args[1], custom_notice_names().c_str());
  const char *name = notice_names[id];

  if (std::strcmp(action, "show") == 0) {
    heap_text text(fetch_custom_notice(id));
    if (text)
      std::printf("Notice %s (%d) has the custom text: %s\n", name, id,
                  text.get());
    else
      std::printf("Notice %s (%d) has no custom text: the standard notice "
                  "applies.\n",
                  name, id);
    std::printf("Placeholders: %s\n", PLACEHOLDERS);
    return ADMIN_OK;
  }
  if (!set) {
    if (store_custom_notice(id, nullptr) != 1)
      return admin_fail("notice %s (%d): the custom text cannot be removed",
                        name, id);
    return admin_done("notice %s (%d): the standard notice applies", name, id);
  }
  std::string text = args[2];
  for (size_t i = 3; i < args.size(); ++i)
    text.append(" ").append(args[i]);
  if (text.empty())
    return admin_fail("notice %s (%d): refused: an empty text (use 'notice "
                      "clear' to remove a custom text)",
                      name, id);
  if (!context.force && has_control_character(text))
    return admin_fail("notice %s (%d): refused: a control character would "
                      "break the SMTP reply (--force stores it anyway)",
                      name, id);
  if (store_custom_notice(id, text.c_str()) != 1)
    return admin_fail("notice %s (%d): the custom text cannot be stored in "
                      "shared memory",
                      name, id);
  warn_about_room(name, id, text);
  return admin_done("notice %s (%d): custom text set", name, id);
}
