#include "rules/notice.h"

#include "rules/catalogue.h"
#include "rules/custom_notice.h"
#include "rules/product.h"
#include "util/general_funcs.h"
#include "util/printable.h"
#include "util/raii.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// While a later pass could shrink the text again (its value is shorter than
// its token), the text may grow this far beyond its inputs before the
// composition counts as too long; past that, only a pass that removes
// nearly everything an earlier one inserted could still give a short line.
constexpr size_t GROWTH_ALLOWANCE = 64 * 1024;

struct placeholder {
  const char *token;
  char *spp_state::*field;
};

// In the order the passes run; each pass sees what the earlier ones
// inserted. These are also the only texts of the record that the catalogue
// puts into a reason.
constexpr placeholder placeholders[] = {
    {"%IP%", &spp_state::remote_ip},     {"%HELO%", &spp_state::helo},
    {"%FROM%", &spp_state::mail_from},   {"%TO%", &spp_state::rcpt_to},
    {"%RDNS%", &spp_state::remote_host},
};
constexpr size_t PLACEHOLDER_COUNT = std::size(placeholders);

constexpr char CUSTOM_FORMAT[] = "550 %s. Protection provided by: %s\r\n";

// The record's texts as a notice shows them: printable copies, cut to a
// common length on request.
class shown_values {
public:
  explicit shown_values(const spp_state &record) : record_(record) {
    for (size_t i = 0; i < PLACEHOLDER_COUNT; ++i) {
      const char *value = record.*placeholders[i].field;
      if (!value)
        continue;
      text_[i].reset(strdup(value));
      if (!text_[i]) {
        complete_ = false;
        continue;
      }
      make_printable(text_[i].get());
      length_[i] = cut_at_[i] = std::strlen(value);
      longest_ = std::max(longest_, length_[i]);
      total_ += length_[i];
    }
  }
  shown_values(const shown_values &) = delete;
  shown_values &operator=(const shown_values &) = delete;

  bool complete() const { return complete_; } // false: out of memory
  size_t longest() const { return longest_; }
  size_t total() const { return total_; }

  // The record with every present text cut to `cap` bytes; it points into
  // this object, and a later call cuts the same texts anew.
  spp_state cut_to(size_t cap) {
    spp_state shown = record_;
    for (size_t i = 0; i < PLACEHOLDER_COUNT; ++i) {
      char *text = text_[i].get();
      if (!text)
        continue;
      text[cut_at_[i]] = saved_[i];
      cut_at_[i] = std::min(cap, length_[i]);
      saved_[i] = text[cut_at_[i]];
      text[cut_at_[i]] = '\0';
      shown.*placeholders[i].field = text;
    }
    return shown;
  }

private:
  spp_state record_;
  heap_text text_[PLACEHOLDER_COUNT];
  size_t length_[PLACEHOLDER_COUNT] = {};
  size_t cut_at_[PLACEHOLDER_COUNT] = {}; // where the cut's NUL stands
  char saved_[PLACEHOLDER_COUNT] = {};    // the byte it replaced
  bool complete_ = true;
  size_t longest_ = 0;
  size_t total_ = 0;
};

// A composed notice; no text and not `abandoned` means out of memory.
struct attempt {
  heap_text text;
  bool abandoned = false;
};

// Every line, CR LF included, within the octets a reply line may have.
bool lines_fit(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    const size_t line =
        end == std::string_view::npos ? text.size() + 2 : end + 2;
    if (line > NOTICE_LINE_MAX)
      return false;
    text.remove_prefix(std::min(line, text.size()));
  }
  return true;
}

// The custom text with its placeholders filled and the fixed words around
// it. When `limited`, a pass after which the line can no longer fit abandons
// the attempt; a pass that runs out of memory leaves the text as it was
// before it.
attempt compose_custom(const char *custom, const char *banner,
                       const spp_state &shown, size_t inputs, bool limited) {
  // An inserted value holds no line end, so the text has at most one line
  // more than the administrator's text has line feeds: once it is longer
  // than that many reply lines and no later pass can shrink it, it cannot
  // fit any more.
  const size_t lines = 1 + static_cast<size_t>(std::count(
                               custom, custom + std::strlen(custom), '\n'));
  const size_t fitting = lines * NOTICE_LINE_MAX;
  size_t limits[PLACEHOLDER_COUNT];
  bool later_may_shrink = false;
  for (size_t i = PLACEHOLDER_COUNT; i-- > 0;) {
    limits[i] = !limited ? SIZE_MAX - 1
                : later_may_shrink
                    ? std::max(fitting, inputs + GROWTH_ALLOWANCE)
                    : fitting;
    const char *value = shown.*placeholders[i].field;
    if (value && std::strlen(value) < std::strlen(placeholders[i].token))
      later_may_shrink = true;
  }

  attempt result;
  heap_text text(strdup(custom));
  if (!text)
    return result;
  for (size_t i = 0; i < PLACEHOLDER_COUNT; ++i) {
    char *work = text.release();
    const int rc = replace_all_within(&work, placeholders[i].token,
                                      shown.*placeholders[i].field, limits[i]);
    text.reset(work);
    if (rc == 0) {
      result.abandoned = true;
      return result;
    }
  }
  char *notice = nullptr;
  if (asprintf(&notice, CUSTOM_FORMAT, text.get(), banner ? banner : "") >= 0)
    result.text.reset(notice);
  return result;
}

// The standard six-line notice with the catalogue's reason and URL.
attempt compose_standard(int notice_id, const char *system_name,
                         const char *banner, const spp_state &shown) {
  // An accessor that runs out of memory still leaves a usable reply: the
  // common reason and the web site's front page.
  heap_text url(url_funcs[notice_id](system_name, shown));
  heap_text reason(notice_funcs[notice_id](system_name, shown));
  char *notice = nullptr;
  attempt result;
  if (asprintf(&notice,
               "550-Your message was rejected by this %s and was not "
               "delivered.\r\n550-Reason: %s\r\n550-Protection provided by: "
               "%s\r\n550-For more information, please visit the "
               "URL:\r\n550-%s\r\n550 or contact your ISP or mail server "
               "operator.\r\n",
               system_name ? system_name : "system",
               reason ? reason.get() : DEFAULT_REJECTION_TEXT,
               banner ? banner : "", url ? url.get() : CORVANE_SITE) >= 0)
    result.text.reset(notice);
  return result;
}

// The notice with the values in full when every line fits; otherwise with
// the values cut to the largest cap found by bisection whose lines fit
// (only the inserted values are cut, never the fixed words), or cut to
// nothing when the fixed words alone are too long. Null when out of memory.
template <typename Compose>
char *fitted(shown_values &values, Compose compose) {
  attempt whole = compose(values.cut_to(SIZE_MAX), true);
  if (whole.text && lines_fit(whole.text.get()))
    return whole.text.release();
  if (!whole.text && !whole.abandoned)
    return nullptr;
  heap_text best;
  size_t low = 0, high = values.longest(); // `high` is known not to fit
  while (low < high) {
    const size_t cap = low + (high - low) / 2;
    attempt cut = compose(values.cut_to(cap), true);
    if (cut.text && lines_fit(cut.text.get())) {
      best = std::move(cut.text);
      low = cap + 1;
    } else if (!cut.text && !cut.abandoned) {
      return nullptr;
    } else {
      high = cap;
    }
  }
  if (best)
    return best.release();
  // Empty values cannot make the text grow.
  return compose(values.cut_to(0), false).text.release();
}

} // namespace

char *compose_notice(int notice_id, const char *system_name, const char *banner,
                     spp_state record) {
  shown_values values(record);
  if (!values.complete())
    return nullptr;
  if (heap_text custom{fetch_custom_notice(notice_id)}) {
    const size_t inputs = std::strlen(custom.get()) + values.total();
    if (char *notice = fitted(values, [&](const spp_state &shown,
                                          bool limited) {
          return compose_custom(custom.get(), banner, shown, inputs, limited);
        }))
      return notice;
  }
  // Only catalogue ids reach here; anything else gets entry 0's texts
  // rather than a call through the table's terminating null.
  if (notice_id < 0 || notice_id >= NOTICE_COUNT)
    notice_id = 0;
  return fitted(values, [&](const spp_state &shown, bool) {
    return compose_standard(notice_id, system_name, banner, shown);
  });
}

long custom_notice_room(const char *text, int *placeholder_count) {
  int count = 0;
  std::string stripped = text ? text : "";
  for (const auto &p : placeholders) {
    const std::string_view token(p.token);
    for (size_t at = stripped.find(token); at != std::string::npos;
         at = stripped.find(token, at)) {
      stripped.erase(at, token.size());
      ++count;
    }
  }
  if (placeholder_count)
    *placeholder_count = count;
  const std::string line =
      "550 " + stripped + ". Protection provided by: " CORVANE_BANNER "\r\n";
  size_t longest = 0;
  for (std::string_view rest(line); !rest.empty();) {
    const size_t end = rest.find("\r\n");
    const size_t length = end == std::string_view::npos ? rest.size() : end + 2;
    longest = std::max(longest, length);
    rest.remove_prefix(length);
  }
  return static_cast<long>(NOTICE_LINE_MAX) - static_cast<long>(longest);
}
