#include "util/ut_rfc.h"

#include "util/raii.h"
#include "util/ut_dns.h"
#include "util/ut_log.h"
#include "util/ut_stringutils.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_alnum(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_printable(char c) { return c >= 0x20 && c <= 0x7e; }

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr size_t DOMAIN_PART_MAX = 254;
constexpr char LOCAL_PART_EXTRAS[] = "!#$%&'*+-/=?^_`{|}~.";

const char *shown(const char *text) { return text ? text : "(null)"; }

} // namespace

// Internal to ut_rfc822_email_address; they edit the caller's copy.
char *__ut_parse_quotes(char *quote);
int __ut_parse_comment(char *open, char **resume);
int __ut_parse_rfc_address(char *open, char **resume);

int ut_is_ip(const char *text) {
  if (!text || !*text) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  UT_DEBUG("parameter [%s]", text);
  const size_t length = std::strlen(text);
  if (!is_digit(text[0]) || !is_digit(text[length - 1])) {
    UT_DEBUG("does not start or end with a number - not an ip");
    return 0;
  }
  int dots = 0;
  for (const char *c = text; *c; ++c)
    dots += *c == '.';
  if (dots != 3) {
    UT_DEBUG("[%s] invalid 'dot' count", text);
    return 0;
  }
  if (ut_inet_addr(text) == 0) {
    UT_DEBUG("[%s] is not an ip address", text);
    return 0;
  }
  UT_DEBUG("[%s] is an ip", text);
  return 1;
}

int ut_valid_domain(const char *text) {
  const size_t length = text ? std::strlen(text) : 0;
  if (length < 3 || !std::strchr(text, '.') || text[0] == '.' ||
      text[length - 1] == '.') {
    UT_DEBUG("domain [%s] does not meet minimum criteria for length, number "
             "of dots, first character, or last character",
             shown(text));
    return 0;
  }
  if (is_digit(text[0]) && ut_is_ip(text)) {
    UT_DEBUG("[%s] is an IP address", text);
    return 0;
  }
  if (std::strstr(text, "..")) {
    UT_DEBUG("domain [%s] contains consecutive '.' characters", text);
    return 0;
  }
  for (const char *c = text; *c; ++c) {
    if (!is_alnum(*c) && *c != '-' && *c != '.') {
      UT_DEBUG("domain [%s] contains invalid characters", text);
      return 0;
    }
  }
  return 1;
}

int ut_valid_email_address(const char *text) {
  if (!text || !*text) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  UT_DEBUG("parameter [%s]", text);
  const char *at = std::strchr(text, '@');
  if (!at) {
    UT_DEBUG("address [%s] missing '@' character", text);
    return 0;
  }
  if (at == text) {
    UT_DEBUG("address [%s] missing user portion", text);
    return 0;
  }
  const char *domain = at + 1;
  if (std::strlen(domain) > DOMAIN_PART_MAX) {
    UT_DEBUG("domain portion is longer than an address may hold");
    return 0;
  }
  if (!*domain || !ut_valid_domain(domain)) {
    UT_DEBUG("invalid domain part for address [%s]", text);
    return 0;
  }
  if (text[0] == '.' || at[-1] == '.' || std::strstr(text, "..")) {
    UT_DEBUG("address [%s] breaks the address syntax", text);
    return 0;
  }
  for (const char *c = text; c < at; ++c) {
    if (!is_alnum(*c) && !std::strchr(LOCAL_PART_EXTRAS, *c)) {
      UT_DEBUG("address [%s] contains invalid characters", text);
      return 0;
    }
  }
  return 1;
}

char *__ut_parse_quotes(char *quote) {
  if (!quote || *quote != '"') {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  for (char *c = quote + 1; *c; ++c) {
    const bool escaped = *c == '\\' && c[1]; // the next one, whatever it is
    if (escaped)
      ++c;
    if (!is_printable(*c)) {
      UT_DEBUG("Found non printable character");
      return nullptr;
    }
    if (*c == '"' && !escaped) {
      UT_DEBUG("found end of quote marker: incrementing");
      if (!c[1])
        break;
      return c + 1;
    }
  }
  UT_DEBUG("found illegal quotation at end of address");
  return nullptr;
}

int __ut_parse_comment(char *open, char **resume) {
  if (!open || *open != '(' || !resume) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  UT_DEBUG("parsing [%s]", open);
  // Nested comments go with their enclosing one: one pass with a depth
  // instead of a call per level, so that deep nesting cannot exhaust the
  // stack.
  size_t depth = 1;
  for (char *c = open + 1; *c; ++c) {
    if (*c == '\\') {
      UT_DEBUG("found escape character, next character is exempt");
      if (!*++c)
        break;
    } else if (*c == '(') {
      UT_DEBUG("Found nested comment.. re looping");
      ++depth;
    } else if (*c == ')' && --depth == 0) {
      UT_DEBUG("found end of comment marker. Removing comment");
      UT_DEBUG("content of string where ptr is: [%s]", open);
      std::memmove(open, c + 1, std::strlen(c + 1) + 1);
      UT_DEBUG("after shift: [%s]", open);
      *resume = open;
      return 1;
    }
  }
  return 0;
}

int __ut_parse_rfc_address(char *open, char **resume) {
  if (!open || *open != '<' || !resume) {
    UT_ERRNO(EINVAL);
    return 0;
  }
  char *close = std::strchr(open + 1, '>');
  if (!close) {
    UT_DEBUG("missing closing '>' for rfc address");
    return 0;
  }
  if (close == open + 1) {
    UT_DEBUG("RFC address portion detected as empty. Passing as bounce");
    *resume = close + 1;
    return 1;
  }
  const char *from = open + 1;
  const char *to = close;
  while (from < to && is_space(*from))
    ++from;
  while (to > from && is_space(to[-1]))
    --to;
  if (from == to) {
    // "< >" is no bounce: a bounce's address is written "<>".
    UT_DEBUG("RFC address portion holds only white space");
    return 0;
  }
  heap_text address(strndup(from, static_cast<size_t>(to - from)));
  if (!address) {
    UT_ERRNO(ENOMEM);
    UT_DEBUG("out of memory allocating copy of address. Passing back true "
             "for now.");
    *resume = close + 1;
    return 1;
  }
  if (!ut_valid_email_address(address.get()))
    return 0;
  *resume = close + 1;
  return 1;
}

int ut_rfc822_email_address(const char *text, unsigned char *bracketed) {
  if (!text || !*text) {
    UT_DEBUG("argument is empty or NULL, returning true in the event this is "
             "a Mailer-Daemon bounce");
    return 1;
  }
  char *copy = strdup(text);
  if (!copy) {
    UT_ERRNO(ENOMEM);
    UT_DEBUG("out of memory allocating address copy - returning true as "
             "this check can't be run");
    return 1;
  }
  heap_text owner(copy);
  bool seen_brackets = false, seen_phrase = false, seen_at = false;
  for (char *c = copy; *c;) {
    if (!is_printable(*c)) {
      UT_DEBUG("non-printable character found in address");
      return 0;
    }
    switch (*c) {
    case '"':
      if (seen_brackets) {
        UT_DEBUG("found quotes after RFC address");
        return 0;
      }
      c = __ut_parse_quotes(c);
      if (!c) {
        UT_DEBUG("invalid quoted phrase");
        return 0;
      }
      seen_phrase = true;
      continue;
    case '(':
      if (!__ut_parse_comment(c, &c)) {
        UT_DEBUG("comment parse failed");
        return 0;
      }
      continue;
    case '<':
      if (seen_brackets) {
        UT_DEBUG("RFC address already found once.. we won't accept another");
        return 0;
      }
      if (!__ut_parse_rfc_address(c, &c)) {
        UT_DEBUG("RFC address parse failed");
        return 0;
      }
      seen_brackets = true;
      continue;
    case '@':
      seen_at = true;
      break;
    case ':':
    case '\\':
    case ';':
    case '[':
    case ']':
    case ',':
      UT_DEBUG("Invalid character %c found in raw address", *c);
      return 0;
    default:
      break;
    }
    ++c;
  }
  if (seen_brackets) {
    if (seen_at) {
      UT_DEBUG("Found unquoted '@' symbol outside of email address");
      return 0;
    }
    if (bracketed)
      *bracketed = 1;
    return 1;
  }
  if (seen_phrase) {
    UT_DEBUG("Quotes require RFC braces");
    return 0;
  }
  char *bare = owner.release();
  ut_trim(&bare);
  owner.reset(bare);
  return ut_valid_email_address(owner.get());
}

namespace {

// Appends text[0, length) with its whitespace simplified, unless that leaves
// it empty. false when memory runs out.
bool add_element(ut_list_node **list, const char *text, size_t length) {
  char *element = strndup(text, length);
  if (!element) {
    UT_ERRNO(ENOMEM);
    return false;
  }
  ut_simplify_whitespace(&element);
  if (!*element) {
    std::free(element);
    return true;
  }
  if (ut_append_list_entry(list, element, std::strlen(element) + 1, false) <
      1) {
    std::free(element);
    return false;
  }
  return true;
}

} // namespace

ut_list_node *ut_split_addresses(const char *text) {
  if (!text || !*text)
    return nullptr;
  ut_list_node *list = nullptr;
  uint8_t depth = 0; // 8 bits: an unbalanced ')' stops all later splits
  bool quoted = false;
  const char *start = text;
  const char *c = text;
  while (*c) {
    if (*c == '\\' && (depth || quoted)) {
      c += c[1] ? 2 : 1;
      continue;
    }
    if (*c == '(') {
      ++depth;
    } else if (*c == ')') {
      --depth;
    } else if (*c == '"' && depth == 0) {
      quoted = !quoted;
    } else if (*c == ',' && depth == 0 && !quoted) {
      if (!add_element(&list, start, static_cast<size_t>(c - start))) {
        ut_destroy_list(&list, std::free);
        return nullptr;
      }
      start = c + 1;
    }
    ++c;
  }
  if (c > start && !add_element(&list, start, static_cast<size_t>(c - start))) {
    ut_destroy_list(&list, std::free);
    return nullptr;
  }
  return list;
}
