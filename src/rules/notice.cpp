#include "rules/notice.h"

#include "rules/catalogue.h"
#include "rules/custom_notice.h"
#include "rules/product.h"
#include "util/general_funcs.h"
#include "util/raii.h"

#include <cstdio>

namespace {

char *compose_custom(char *custom, const char *banner,
                     const spp_state &record) {
  // replace_all swaps the block for a new one or leaves it as it was, so
  // `custom` always points at the current text.
  replace_all(&custom, "%IP%", record.remote_ip);
  replace_all(&custom, "%HELO%", record.helo);
  replace_all(&custom, "%FROM%", record.mail_from);
  replace_all(&custom, "%TO%", record.rcpt_to);
  replace_all(&custom, "%RDNS%", record.remote_host);
  heap_text text(custom);

  char *notice = nullptr;
  if (asprintf(&notice, "550 %s. Protection provided by: %s\r\n", text.get(),
               banner ? banner : "") < 0)
    return nullptr;
  return notice;
}

} // namespace

char *compose_notice(int notice_id, const char *system_name, const char *banner,
                     spp_state record) {
  if (char *custom = fetch_custom_notice(notice_id)) {
    if (char *notice = compose_custom(custom, banner, record))
      return notice;
  }
  // An accessor that runs out of memory still leaves a usable reply: the
  // common reason and the web site's front page.
  // Only catalogue ids reach here; anything else gets entry 0's texts
  // rather than a call through the table's terminating null.
  if (notice_id < 0 || notice_id >= NOTICE_COUNT)
    notice_id = 0;
  heap_text url(url_funcs[notice_id](system_name, record));
  heap_text reason(notice_funcs[notice_id](system_name, record));
  char *notice = nullptr;
  if (asprintf(&notice,
               "550-Your message was rejected by this %s and was not "
               "delivered.\r\n550-Reason: %s\r\n550-Protection provided by: "
               "%s\r\n550-For more information, please visit the "
               "URL:\r\n550-%s\r\n550 or contact your ISP or mail server "
               "operator.\r\n",
               system_name ? system_name : "system",
               reason ? reason.get() : DEFAULT_REJECTION_TEXT,
               banner ? banner : "", url ? url.get() : CORVANE_SITE) < 0)
    return nullptr;
  return notice;
}
