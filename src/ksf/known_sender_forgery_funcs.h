// known_sender_forgery_funcs: which networks a sender domain may send from.
//
// The restriction file (/etc/corvane/control/valid_domain_ips) holds lines
// "domain : ip-set", e.g. "example.org: 192.0.2.0/24, 198.51.100.7". Lines
// are trimmed; blank lines and lines starting with '#' are skipped. A line
// splits at ':' (empty pieces dropped) into exactly a domain (lower-cased,
// ut_valid_domain) and an ip-set: ','-separated CIDR blocks "a.b.c.d/n"
// (host bits zero, n at most 32) or single addresses (stored as /32). Bad
// pieces are skipped; a line without a usable piece is dropped whole. Only
// the first line of a domain is ever consulted. The file is read and parsed
// afresh on every check and every error passes the sender (fails open).
//
//   ksf_parse_mail_from_domain(address)
//        the lower-case domain of a valid address as a new heap text
//        (free()), or null (empty address: a bounce; invalid address or
//        domain).
//   ksf_check_domain_to_ip_restriction(ip, domain, path)
//        0 when the domain's first line exists and the IP lies outside all
//        of its networks (a forgery); 1 in every other case.
//   ksf_get_domain_ip_sets_from_file(path)
//        the file's usable lines as a ut_list of domain_ips records in file
//        order, or null (unreadable file, no usable line). Destroy it with
//        ksf_destroy_domain_ips_list.
//   ksf_destroy_domain_ips_struct(record)  frees the domain, the ranges and
//        the record.
//
// The parse steps, exported for corvane-admin and the tests:
//   __ksf_get_domain_ip_sets(text)   as from the file, for a whole text.
//   __ksf_parse_domain_ips_line(line) one trimmed line, or null.
//   __ksf_parse_ip_set(text)          a ut_list of ip_range, or null.
//   __ksf_parse_ip_or_cidr(piece), __ksf_parse_cidr(piece)
//        a new ip_range (free()), or null.
//   __ksf_is_ip_in_ranges(ip, ranges) 0 when the IP is outside every
//        range; 1 inside one, and on any error.
//   __ksf_is_ip_in_cidr_block(ip, network, prefix)  addresses in host order.
//
// Reports go to the library's sink (ut_log): EINVAL for a missing argument,
// ENOMEM; the reasons a line or piece is dropped as debug trace.
#pragma once

#include "util/ut_list.h"

#include <cstdint>

struct ip_range {
  uint32_t network; // host byte order, host bits zero
  int32_t prefix;   // 0..32; a single address is 32
};

struct domain_ips {
  char *domain;         // lower case
  ut_list_node *ranges; // of ip_range, in the order written
};

char *ksf_parse_mail_from_domain(const char *address);
int ksf_check_domain_to_ip_restriction(const char *ip, const char *domain,
                                       const char *path);
ut_list_node *ksf_get_domain_ip_sets_from_file(const char *path);
void ksf_destroy_domain_ips_struct(domain_ips *record);
void ksf_destroy_domain_ips_list(ut_list_node **list);

ut_list_node *__ksf_get_domain_ip_sets(const char *text);
domain_ips *__ksf_parse_domain_ips_line(const char *line);
ut_list_node *__ksf_parse_ip_set(const char *text);
ip_range *__ksf_parse_ip_or_cidr(const char *piece);
ip_range *__ksf_parse_cidr(const char *piece);
int __ksf_is_ip_in_ranges(const char *ip, ut_list_node *ranges);
bool __ksf_is_ip_in_cidr_block(uint32_t ip, uint32_t network, int32_t prefix);
