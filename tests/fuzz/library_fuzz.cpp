// libFuzzer targets for the utility library's parsers of outside text. One
// source, one target per build (FUZZ_TARGET). Every report is formatted by
// a sink that keeps nothing, with the debug trace on, so that the traces'
// arguments are read too.
#include "util/ut_list.h"
#include "util/ut_log.h"
#include "util/ut_rfc.h"
#include "util/ut_stringutils.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

__attribute__((format(printf, 2, 3))) void formatting_sink(int, const char *f,
                                                           ...) {
  char line[512];
  va_list args;
  va_start(args, f);
  std::vsnprintf(line, sizeof line, f, args);
  va_end(args);
}

[[maybe_unused]] bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("VERBOSEDEBUG", "", 1);
  ut_set_logger(formatting_sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
#if FUZZ_TARGET == 1 // single addresses, domains and IPs
  std::string text(reinterpret_cast<const char *>(data), size);
  unsigned char bracketed = 0;
  (void)ut_rfc822_email_address(text.c_str(), &bracketed);
  (void)ut_valid_email_address(text.c_str());
  (void)ut_valid_domain(text.c_str());
  (void)ut_is_ip(text.c_str());
#elif FUZZ_TARGET == 2 // address lists
  std::string text(reinterpret_cast<const char *>(data), size);
  ut_list_node *list = ut_split_addresses(text.c_str());
  ut_destroy_list(&list, std::free);
#elif FUZZ_TARGET == 3 // fields of an unterminated buffer, by its first byte
  if (size < 1)
    return 0;
  // An exact-size copy: a read past the given length is a heap overflow.
  char *bytes = static_cast<char *>(std::malloc(size - 1 ? size - 1 : 1));
  std::memcpy(bytes, data + 1, size - 1);
  ut_list_node *list = nullptr;
  (void)ut_list_from_string_by_char(&list, bytes, size - 1,
                                    static_cast<char>(data[0]));
  ut_destroy_list(&list, std::free);
  std::free(bytes);
#elif FUZZ_TARGET == 4 // the editors, and "search\0replacement\0text"
  const std::string all(reinterpret_cast<const char *>(data), size);
  for (auto edit : {ut_trim, ut_simplify_whitespace, ut_strip_whitespace}) {
    char *s = strdup(all.c_str());
    edit(&s);
    const bool stripped = edit == ut_strip_whitespace;
    for (const char *c = s; *c; ++c)
      if (is_space(*c) && (c == s || stripped || !c[1] ||
                           (edit == ut_simplify_whitespace && is_space(c[1]))))
        std::abort(); // whitespace left where the editor removes it
    std::free(s);
  }
  std::string part[3];
  for (size_t i = 0, at = 0; i < 3 && at <= size; ++i) {
    const size_t end = std::min(all.find('\0', at), size);
    part[i] = all.substr(at, end - at);
    at = end + 1;
  }
  char *s = strdup(part[2].c_str());
  const int replaced = ut_str_replace(&s, part[0].c_str(), part[1].c_str());
  if (replaced && !part[0].empty()) {
    std::string expected; // the same replacement, written plainly
    for (size_t at = 0; at < part[2].size();)
      if (part[2].compare(at, part[0].size(), part[0]) == 0) {
        expected += part[1];
        at += part[0].size();
      } else {
        expected += part[2][at++];
      }
    if (expected != s)
      std::abort();
  }
  std::free(s);
#endif
  return 0;
}
