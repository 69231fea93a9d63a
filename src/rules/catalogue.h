// catalogue: the reason text and information URL of every rejection notice.
//
// 47 entries, indexed by notice id 0 to 46, each a pair of accessors
// `<rule>_rejection` and `<rule>_url` taking the caller's word for the
// rejecting party (system_name, "system" when absent) and the record. Each
// returns a new heap text (free()), or null when memory runs out, logged
// through the record's logger when one is set. Both tables end with a null
// pointer at index 47.
//
// Reason kinds: DEFAULT (the common text), FIXED (a text without slots), SYS
// (one slot, the system name), SYS_IP (system name, then the client IP), IP
// (the client IP). URL kinds: PATTERN ("/best_practices/<rule>.html") and
// PATH (the given path), both behind the product web site.
#pragma once

#include "frame/load_spp_env.h"

using notice_accessor = char *(*)(const char *system_name, spp_state record);

inline constexpr int NOTICE_COUNT = 47;

extern const notice_accessor notice_funcs[NOTICE_COUNT + 1];
extern const notice_accessor url_funcs[NOTICE_COUNT + 1];

// The text of every entry without a reason of its own.
inline constexpr const char *DEFAULT_REJECTION_TEXT =
    "Your message does not conform to our acceptance polices and was rejected";

// X(rule, reason kind, reason, url kind, url path), in notice id order.
#define CORVANE_NOTICES(X)                                                     \
  X(spam_check, DEFAULT, "", PATTERN, "")                                      \
  X(smtp_blocking, DEFAULT, "", PATTERN, "")                                   \
  X(valid_from_domain, SYS,                                                    \
    "This %s will not accept this message, based on the MAIL FROM address "    \
    "provided",                                                                \
    PATTERN, "")                                                               \
  X(spam_check_level, DEFAULT, "", PATTERN, "")                                \
  X(block_all_mail, SYS, "This %s only accepts whitelisted mail", PATH,        \
    "/empowering_the_user")                                                    \
  X(loaded_template, DEFAULT, "", PATTERN, "")                                 \
  X(block_non_printable, DEFAULT, "", PATTERN, "")                             \
  X(phish_protection, DEFAULT, "", PATTERN, "")                                \
  X(required_header_list, DEFAULT, "", PATTERN, "")                            \
  X(subject_whitelist, DEFAULT, "", PATTERN, "")                               \
  X(subject_blacklist, DEFAULT, "", PATTERN, "")                               \
  X(header_from_whitelist, DEFAULT, "", PATTERN, "")                           \
  X(header_from_blacklist, DEFAULT, "", PATTERN, "")                           \
  X(spamassassin_score, DEFAULT, "", PATTERN, "")                              \
  X(all_global_rules, DEFAULT, "", PATTERN, "")                                \
  X(smtp_check, DEFAULT, "", PATTERN, "")                                      \
  X(delivery_check, DEFAULT, "", PATTERN, "")                                  \
  X(require_full_addr, FIXED,                                                  \
    "Invalid Recipient! You did not specify a complete email address to "      \
    "send to.",                                                                \
    PATTERN, "")                                                               \
  X(block_mail_from_self, SYS,                                                 \
    "The %s does not allow messages that appear to be from themselves "        \
    "(possible forgery)",                                                      \
    PATTERN, "")                                                               \
  X(block_ip_in_addr, SYS,                                                     \
    "The %s does not allow messages that use IP Addresses instead of domain "  \
    "names",                                                                   \
    PATTERN, "")                                                               \
  X(require_me_in_dest, DEFAULT, "", PATTERN, "")                              \
  X(require_helo, FIXED,                                                       \
    "Messages from your location are rejected, missing identifier (HELO). "    \
    "Contact your email administrator",                                        \
    PATTERN, "")                                                               \
  X(valid_helo_domain, FIXED,                                                  \
    "Messages from your location are rejected, bad or missing identifier "     \
    "(HELO). Contact your email administrator",                                \
    PATTERN, "")                                                               \
  X(resolve_helo_domain, FIXED,                                                \
    "Messages from your location are rejected, identification (HELO) has no "  \
    "matching DNS entry.",                                                     \
    PATTERN, "")                                                               \
  X(mail_from_strict_addr_parse, SYS,                                          \
    "This %s will not accept this message, bad or malformed address "          \
    "specified",                                                               \
    PATTERN, "")                                                               \
  X(check_ip_reverse_dns, SYS_IP,                                              \
    "This %s will not accept messages from servers/devices with no reverse "   \
    "DNS. IP=[%s]",                                                            \
    PATTERN, "")                                                               \
  X(use_global_from_blacklist, DEFAULT, "", PATTERN, "")                       \
  X(use_global_from_whitelist, DEFAULT, "", PATTERN, "")                       \
  X(from_blacklist, SYS, "This %s will not accept messages from you", PATH,    \
    "/empowering_the_user")                                                    \
  X(from_whitelist, DEFAULT, "", PATTERN, "")                                  \
  X(helo_blacklist, SYS, "This %s will not accept messages from your server",  \
    PATH, "/empowering_the_user")                                              \
  X(helo_whitelist, DEFAULT, "", PATTERN, "")                                  \
  X(use_global_helo_blacklist, DEFAULT, "", PATTERN, "")                       \
  X(use_global_helo_whitelist, DEFAULT, "", PATTERN, "")                       \
  X(use_global_country_blacklist, DEFAULT, "", PATTERN, "")                    \
  X(use_global_country_whitelist, DEFAULT, "", PATTERN, "")                    \
  X(country_blacklist, SYS, "This %s will not accept messages from your area", \
    PATH, "/empowering_the_user")                                              \
  X(country_whitelist, DEFAULT, "", PATTERN, "")                               \
  X(use_global_ip_blacklist, DEFAULT, "", PATTERN, "")                         \
  X(use_global_ip_whitelist, DEFAULT, "", PATTERN, "")                         \
  X(ip_blacklist, SYS_IP,                                                      \
    "This %s will not accept messages from your location. IP=[%s]", PATH,      \
    "/empowering_the_user")                                                    \
  X(ip_whitelist, DEFAULT, "", PATTERN, "")                                    \
  X(check_dynamic_reverse_dns, IP,                                             \
    "Your IP address [%s] appears not to be an email server.", PATTERN, "")    \
  X(check_reverse_dns_list, SYS_IP,                                            \
    "Your hostname matches a pattern which was abused in the past, and "       \
    "rejected by the %s. IP=[%s]",                                             \
    PATTERN, "")                                                               \
  X(block_lists, SYS_IP,                                                       \
    "This system uses IPR to check your IP address reputation, and was "       \
    "rejected by the %s. IP=[%s]",                                             \
    PATH, "/power_of_ip_reputation.html")                                      \
  X(use_global_block_lists, DEFAULT, "", PATTERN, "")                          \
  X(known_sender_forgery, DEFAULT, "", PATTERN, "")

#define CORVANE_DECLARE_NOTICE(rule, ...)                                      \
  char *rule##_rejection(const char *system_name, spp_state record);           \
  char *rule##_url(const char *system_name, spp_state record);
CORVANE_NOTICES(CORVANE_DECLARE_NOTICE)
#undef CORVANE_DECLARE_NOTICE
