#include "ksf/known_sender_forgery_funcs.h"

#include "util/raii.h"
#include "util/ut_file.h"
#include "util/ut_log.h"
#include "util/ut_rfc.h"
#include "util/ut_stringutils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t ALL_ONES = 0xffffffffu;
constexpr int32_t HOST_PREFIX = 32;

void release_record(void *record) {
  ksf_destroy_domain_ips_struct(static_cast<domain_ips *>(record));
}

// A ut_list destroyed with its release function when it goes.
class owned_list {
public:
  explicit owned_list(ut_list_release release) : release_(release) {}
  owned_list(const owned_list &) = delete;
  owned_list &operator=(const owned_list &) = delete;
  ~owned_list() { ut_destroy_list(&list_, release_); }
  ut_list_node **address() { return &list_; }
  ut_list_node *get() const { return list_; }
  ut_list_node *release() { return std::exchange(list_, nullptr); }

private:
  ut_list_node *list_ = nullptr;
  ut_list_release release_;
};

// A trimmed copy of `text`; null when memory runs out (reported).
heap_text trimmed_copy(const char *text) {
  char *copy = strdup(text);
  if (!copy) {
    UT_ERRNO(ENOMEM);
    return nullptr;
  }
  ut_trim(&copy);
  return heap_text(copy);
}

// The non-empty pieces of `text` between `delimiter`s, untrimmed; false
// when memory runs out (reported).
bool split(owned_list &pieces, const char *text, char delimiter) {
  if (ut_list_from_string_by_char(pieces.address(), text, std::strlen(text),
                                  delimiter))
    return true;
  UT_ERRNO(ENOMEM);
  return false;
}

const char *text_of(const ut_list_node *node) {
  return static_cast<const char *>(node->data);
}

// Appends `data` (of `size` bytes) to the list it then belongs to; when it
// cannot, releases it and reports ENOMEM.
bool append_owned(ut_list_node **list, void *data, uint64_t size,
                  ut_list_release release) {
  if (ut_append_list_entry(list, data, size, false) > 0)
    return true;
  release(data);
  UT_ERRNO(ENOMEM);
  return false;
}

// The address in host order, or ALL_ONES when inet_network refuses it.
uint32_t host_order(const char *ip) {
  return static_cast<uint32_t>(inet_network(ip));
}

// The decimal number at the start of `text` as atoi reads it (leading
// blanks and a sign allowed, anything after the digits ignored, no digits
// read as 0), held within the int range.
long leading_number(const char *text) {
  const long value = std::strtol(text, nullptr, 10);
  return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value;
}

ip_range *new_range(uint32_t network, int32_t prefix) {
  auto *range = static_cast<ip_range *>(std::malloc(sizeof(ip_range)));
  if (!range) {
    UT_ERRNO(ENOMEM);
    return nullptr;
  }
  range->network = network;
  range->prefix = prefix;
  return range;
}

} // namespace

char *ksf_parse_mail_from_domain(const char *address) {
  if (!address || !*address) {
    UT_DEBUG("empty or NULL MAIL FROM argument - possible bounce");
    return nullptr;
  }
  if (!ut_valid_email_address(address)) {
    UT_DEBUG("email address is not valid");
    return nullptr;
  }
  heap_text domain = trimmed_copy(std::strrchr(address, '@') + 1);
  if (!domain)
    return nullptr;
  ut_lower(domain.get());
  if (!ut_valid_domain(domain.get())) {
    UT_DEBUG("domain is not valid: %s", domain.get());
    return nullptr;
  }
  return domain.release();
}

int ksf_check_domain_to_ip_restriction(const char *ip, const char *domain,
                                       const char *path) {
  if (!ip || !*ip || !domain || !*domain || !path || !*path) {
    UT_ERRNO(EINVAL);
    return 1;
  }
  heap_text wanted = trimmed_copy(domain);
  if (!wanted)
    return 1;
  if (!*wanted) {
    UT_ERROR("Invalid domain - blank after trimming whitespace");
    return 1;
  }
  ut_lower(wanted.get());
  owned_list records(release_record);
  *records.address() = ksf_get_domain_ip_sets_from_file(path);
  if (!records.get()) {
    UT_DEBUG("could not get domains/ips, or none in file");
    return 1;
  }
  for (const ut_list_node *node = records.get(); node; node = node->next) {
    const auto *record = static_cast<const domain_ips *>(node->data);
    if (std::strcmp(record->domain, wanted.get()) == 0)
      return __ksf_is_ip_in_ranges(ip, record->ranges) ? 1 : 0;
  }
  return 1;
}

ut_list_node *ksf_get_domain_ip_sets_from_file(const char *path) {
  if (!path || !*path) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  const heap_text text(ut_file_get_contents(path));
  if (!text) {
    UT_ERROR("Failed to read domain/ip list file: %s", path);
    return nullptr;
  }
  return __ksf_get_domain_ip_sets(text.get());
}

void ksf_destroy_domain_ips_struct(domain_ips *record) {
  if (!record)
    return;
  std::free(record->domain);
  ut_destroy_list(&record->ranges, std::free);
  std::free(record);
}

void ksf_destroy_domain_ips_list(ut_list_node **list) {
  ut_destroy_list(list, release_record);
}

ut_list_node *__ksf_get_domain_ip_sets(const char *text) {
  if (!text || !*text) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  owned_list lines(std::free);
  if (!split(lines, text, '\n'))
    return nullptr;
  owned_list records(release_record);
  for (const ut_list_node *node = lines.get(); node; node = node->next) {
    const heap_text line = trimmed_copy(text_of(node));
    if (!line)
      return nullptr;
    if (!*line) {
      UT_DEBUG("skipping blank line (after trim)");
      continue;
    }
    if (*line == '#') {
      UT_DEBUG("skipping comment line");
      continue;
    }
    domain_ips *record = __ksf_parse_domain_ips_line(line.get());
    if (!record)
      continue;
    if (!append_owned(records.address(), record, sizeof *record,
                      release_record))
      return nullptr;
    UT_DEBUG("stored domain/IPs range from [%s]", line.get());
  }
  return records.release();
}

domain_ips *__ksf_parse_domain_ips_line(const char *line) {
  if (!line || !*line) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  owned_list fields(std::free);
  if (!split(fields, line, ':'))
    return nullptr;
  const int count = ut_num_elements(fields.get());
  if (count != 2) {
    UT_DEBUG("invalid number of elements in domain/ip range line: %d", count);
    return nullptr;
  }
  heap_text domain = trimmed_copy(text_of(fields.get()));
  if (!domain)
    return nullptr;
  ut_lower(domain.get());
  if (!ut_valid_domain(domain.get())) {
    UT_DEBUG("domain %s is not valid", domain.get());
    return nullptr;
  }
  owned_list ranges(std::free);
  *ranges.address() = __ksf_parse_ip_set(text_of(fields.get()->next));
  if (!ranges.get()) {
    UT_DEBUG("failed to parse ip set");
    return nullptr;
  }
  auto *record = static_cast<domain_ips *>(std::malloc(sizeof(domain_ips)));
  if (!record) {
    UT_ERRNO(ENOMEM);
    return nullptr;
  }
  record->domain = domain.release();
  record->ranges = ranges.release();
  return record;
}

ut_list_node *__ksf_parse_ip_set(const char *text) {
  if (!text) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  owned_list pieces(std::free);
  if (!split(pieces, text, ','))
    return nullptr;
  owned_list ranges(std::free);
  for (const ut_list_node *node = pieces.get(); node; node = node->next) {
    const heap_text each = trimmed_copy(text_of(node));
    if (!each)
      return nullptr;
    if (!*each)
      continue;
    ip_range *range = __ksf_parse_ip_or_cidr(each.get());
    if (!range)
      continue;
    if (!append_owned(ranges.address(), range, sizeof *range, std::free))
      return nullptr;
    UT_DEBUG("stored IP range from [%s]", text_of(node));
  }
  return ranges.release();
}

ip_range *__ksf_parse_ip_or_cidr(const char *piece) {
  if (!piece || !*piece) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  if (ip_range *block = __ksf_parse_cidr(piece))
    return block;
  if (!ut_is_ip(piece))
    return nullptr;
  const uint32_t address = host_order(piece);
  if (address == ALL_ONES) {
    UT_DEBUG("failed to convert ip %s to host byte order", piece);
    return nullptr;
  }
  return new_range(address, HOST_PREFIX);
}

ip_range *__ksf_parse_cidr(const char *piece) {
  if (!piece) {
    UT_ERRNO(EINVAL);
    return nullptr;
  }
  owned_list parts(std::free);
  if (!split(parts, piece, '/'))
    return nullptr;
  const int count = ut_num_elements(parts.get());
  if (count != 2) {
    UT_DEBUG("invalid cidr format - number of elements not as expected: %d",
             count);
    return nullptr;
  }
  const char *address_text = text_of(parts.get());
  if (!ut_is_ip(address_text)) {
    UT_DEBUG("invalid ip");
    return nullptr;
  }
  const uint32_t address = host_order(address_text);
  if (address == ALL_ONES) {
    UT_DEBUG("failed to convert ip to host byte order");
    return nullptr;
  }
  const long prefix = leading_number(text_of(parts.get()->next));
  if (prefix > HOST_PREFIX || prefix < 0) {
    UT_DEBUG("cidr has invalid prefix");
    return nullptr;
  }
  if (prefix != HOST_PREFIX) {
    const uint32_t host_bits = address << prefix;
    if (host_bits != 0) {
      UT_DEBUG("cidr is not valid given the prefix. addr: %d prefix: %d",
               static_cast<int>(host_bits), static_cast<int>(prefix));
      return nullptr;
    }
  }
  return new_range(address, static_cast<int32_t>(prefix));
}

int __ksf_is_ip_in_ranges(const char *ip, ut_list_node *ranges) {
  if (!ip || !*ip) {
    UT_ERRNO(EINVAL);
    return 1;
  }
  const uint32_t address = host_order(ip);
  if (address == ALL_ONES) {
    UT_ERROR("failed to convert ip [%s] to host order bytes", ip);
    return 1;
  }
  for (const ut_list_node *node = ranges; node; node = node->next) {
    const auto *range = static_cast<const ip_range *>(node->data);
    if (range->network == ALL_ONES || range->prefix < 0)
      continue;
    if (__ksf_is_ip_in_cidr_block(address, range->network, range->prefix))
      return 1;
  }
  return 0;
}

bool __ksf_is_ip_in_cidr_block(uint32_t ip, uint32_t network, int32_t prefix) {
  if (network == ALL_ONES || ip == ALL_ONES || prefix > HOST_PREFIX) {
    UT_ERRNO(EINVAL);
    return false;
  }
  const uint32_t mask = prefix <= 0 ? 0 : ALL_ONES << (HOST_PREFIX - prefix);
  return (ip & mask) == (network & mask);
}
