#include "admin/admin_senders.h"

#include "engine/list_admin.h"
#include "engine/rule_registry.h"
#include "ksf/known_sender_forgery_funcs.h"
#include "util/fd_io.h"
#include "util/raii.h"
#include "util/ut_rfc.h"
#include "util/ut_stringutils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

const char ADMIN_SENDERS_USAGE[] =
    "  corvane-admin senders show           the known senders' networks as\n"
    "                                       the plug-in reads them\n"
    "  corvane-admin senders add DOMAIN NETWORK...\n"
    "  corvane-admin senders del DOMAIN NETWORK...\n"
    "                                       NETWORK: a.b.c.d or a.b.c.d/n\n"
    "  corvane-admin senders test SENDER IP would the rule refuse it?\n";

namespace {

constexpr const char *RULE = "known_sender_forgery";

// The library's trim: leading white space and trailing bytes outside
// '!'..'~' removed.
std::string trimmed(const std::string &text) {
  char *copy = strdup(text.c_str());
  if (!copy)
    return text;
  ut_trim(&copy);
  std::string out = copy;
  std::free(copy);
  return out;
}

// The non-empty pieces between delimiters, as the plug-in splits.
std::vector<std::string> pieces_of(const std::string &text, char delimiter) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t end; start <= text.size(); start = end + 1) {
    end = std::min(text.find(delimiter, start), text.size());
    if (end > start)
      pieces.push_back(text.substr(start, end - start));
  }
  return pieces;
}

std::string lower(std::string text) {
  ut_lower(text.data());
  return text;
}

// A network as the plug-in stores it, "a.b.c.d/n", or "" when it would skip
// the piece.
std::string network_of(const std::string &piece) {
  ip_range *range = __ksf_parse_ip_or_cidr(piece.c_str());
  if (!range)
    return "";
  const in_addr address = {htonl(range->network)};
  std::string shown =
      std::string(inet_ntoa(address)) + "/" + std::to_string(range->prefix);
  std::free(range);
  return shown;
}

// One line of the file as the plug-in reads it.
struct file_line {
  std::string text; // as written
  enum { skipped, counts, dropped } kind = skipped;
  std::string domain_field;        // the domain as written, trimmed
  std::string domain;              // lower case (counts, dropped)
  std::vector<std::string> pieces; // of the ip-set, trimmed
  std::string why;                 // dropped
};

file_line read_line(const std::string &text) {
  file_line line;
  line.text = text;
  const std::string content = trimmed(text);
  if (content.empty() || content[0] == '#')
    return line;
  line.kind = file_line::dropped;
  const std::vector<std::string> fields = pieces_of(content, ':');
  if (fields.size() != 2) {
    line.why = "not a domain, ':' and its networks";
    return line;
  }
  line.domain_field = trimmed(fields[0]);
  line.domain = lower(line.domain_field);
  for (const std::string &piece : pieces_of(fields[1], ','))
    if (const std::string each = trimmed(piece); !each.empty())
      line.pieces.push_back(each);
  domain_ips *record = __ksf_parse_domain_ips_line(content.c_str());
  if (record) {
    line.kind = file_line::counts;
    ksf_destroy_domain_ips_struct(record);
  } else if (!ut_valid_domain(line.domain.c_str())) {
    line.why = "'" + line.domain_field + "' is no valid domain name";
  } else {
    line.why = "none of its networks is usable, so " + line.domain +
               " is not restricted by it";
  }
  return line;
}

std::vector<file_line> read_lines(const char *text) {
  std::vector<file_line> lines;
  const std::string whole = text;
  size_t start = 0;
  while (start < whole.size()) {
    const size_t end = std::min(whole.find('\n', start), whole.size());
    lines.push_back(read_line(whole.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

// The index of the line the plug-in consults for the domain, or -1.
int consulted(const std::vector<file_line> &lines, const std::string &domain) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].kind == file_line::counts && lines[i].domain == domain)
      return static_cast<int>(i);
  return -1;
}

std::string joined(const std::vector<std::string> &pieces) {
  std::string out;
  for (const std::string &piece : pieces)
    out += (out.empty() ? "" : ", ") + piece;
  return out;
}

// The change that senders_writer makes under the lock, and what it did.
struct senders_change {
  bool add;
  std::string domain;
  std::vector<std::string> networks;
  std::string outcome;
};
senders_change *pending = nullptr;

bool same_network(const std::string &piece, const std::string &network) {
  const std::string stored = network_of(piece);
  return stored.empty() ? piece == network : stored == network_of(network);
}

int edit_lines(std::vector<file_line> &lines, senders_change &change,
               char *errbuf) {
  const int at = consulted(lines, change.domain);
  if (at < 0 && !change.add) {
    std::snprintf(errbuf, LIST_ERRBUF_SIZE, "%s has no line that counts",
                  change.domain.c_str());
    return 1;
  }
  if (at < 0) {
    lines.push_back(read_line(change.domain + ": " + joined(change.networks)));
    change.outcome = "added as line " + std::to_string(lines.size());
    return 0;
  }
  file_line &line = lines[static_cast<size_t>(at)];
  std::vector<std::string> kept, touched;
  for (const std::string &piece : line.pieces) {
    const bool named = std::any_of(
        change.networks.begin(), change.networks.end(),
        [&](const std::string &n) { return same_network(piece, n); });
    if (named && !change.add)
      touched.push_back(piece);
    else
      kept.push_back(piece);
  }
  if (change.add)
    for (const std::string &network : change.networks)
      if (std::none_of(kept.begin(), kept.end(), [&](const std::string &p) {
            return same_network(p, network);
          })) {
        kept.push_back(network);
        touched.push_back(network);
      }
  const std::string where = "line " + std::to_string(at + 1);
  if (touched.empty()) {
    std::snprintf(errbuf, LIST_ERRBUF_SIZE, "%s %s %s", where.c_str(),
                  change.add ? "already lists" : "does not list",
                  joined(change.networks).c_str());
    return 1;
  }
  const file_line edited = read_line(line.domain_field + ": " + joined(kept));
  if (edited.kind == file_line::counts) {
    line = edited;
    change.outcome = where + (change.add ? " now adds " : " no longer lists ") +
                     joined(touched);
    return 0;
  }
  lines.erase(lines.begin() + at);
  const int next = consulted(lines, change.domain);
  change.outcome = where + " removed: " +
                   (next < 0 ? change.domain + " is no longer restricted"
                             : "line " + std::to_string(next + 2) +
                                   " now gives its networks");
  return 0;
}

int senders_writer(const char *path, std::FILE *temp, const char *,
                   char *errbuf) {
  const heap_text text(read_whole_file(path));
  if (!text) {
    std::snprintf(errbuf, LIST_ERRBUF_SIZE, "Unable to read list file: %s",
                  std::strerror(errno ? errno : EINVAL));
    return 1;
  }
  std::vector<file_line> lines = read_lines(text.get());
  if (edit_lines(lines, *pending, errbuf) != 0)
    return 1;
  for (const file_line &line : lines)
    if (std::fprintf(temp, "%s\n", line.text.c_str()) < 0) {
      std::snprintf(errbuf, LIST_ERRBUF_SIZE, "Unable to write temp file: %s",
                    std::strerror(errno));
      return 1;
    }
  return 0;
}

int change_senders(const admin_context &context, bool add) {
  const auto &args = context.args;
  senders_change change{add, lower(args[1]), {}, {}};
  for (size_t i = 2; i < args.size(); ++i)
    change.networks.push_back(args[i]);
  if (!context.force) {
    if (!ut_valid_domain(change.domain.c_str()))
      return admin_fail("senders: refused: '%s' is no valid domain name; the "
                        "plug-in would drop its line (--force changes it "
                        "anyway)",
                        args[1]);
    for (const std::string &network : change.networks)
      if (network_of(network).empty())
        return admin_fail(
            "senders: refused: '%s' is no address a.b.c.d or block "
            "a.b.c.d/n (n up to 32, host bits zero); the plug-in would skip "
            "it (--force changes it anyway)",
            network.c_str());
  }
  const char *path = config.valid_domain_ips_filename;
  std::string folder = path;
  folder.erase(folder.rfind('/'));
  (void)mkdir(folder.c_str(), 0755);
  const unique_fd lock = lock_folder(folder.c_str());
  if (!lock.valid()) {
    const int error = errno;
    return admin_fail("cannot lock %s: %s", folder.c_str(),
                      std::strerror(error));
  }
  char errbuf[LIST_ERRBUF_SIZE] = "";
  pending = &change;
  const int rc = update_list_file(path, "", errbuf, senders_writer);
  pending = nullptr;
  if (rc != 0)
    return admin_fail("senders: %s: %s", change.domain.c_str(), errbuf);
  return admin_done("senders: %s: %s", change.domain.c_str(),
                    change.outcome.c_str());
}

bool rule_switched_on(const engine_handle &handle) {
  for (const rule_desc *rule = handle.enabled_rules; rule && rule->name; ++rule)
    if (std::strcmp(rule->name, RULE) == 0)
      return rule->state != RULE_DISABLED;
  return false;
}

int test_sender(const admin_context &context) {
  const char *sender = context.args[1], *ip = context.args[2];
  const char *path = config.valid_domain_ips_filename;
  const heap_text domain(ksf_parse_mail_from_domain(sender));
  const heap_text text(read_whole_file(path));
  std::string answer;
  bool refused = false;
  if (!ut_is_ip(ip)) {
    answer = std::string("passes: '") + ip + "' is no IPv4 address";
  } else if (!domain) {
    answer = "passes: no domain to check (a bounce or an invalid address)";
  } else if (!text) {
    answer = std::string("passes: ") + path + " cannot be read";
  } else {
    const std::vector<file_line> lines = read_lines(text.get());
    const int at = consulted(lines, domain.get());
    refused = ksf_check_domain_to_ip_restriction(ip, domain.get(), path) == 0;
    if (at < 0)
      answer = std::string("passes: ") + domain.get() + " is not restricted";
    else
      answer = std::string(refused ? "forged: " : "passes: ") + "line " +
               std::to_string(at + 1) + " allows " + domain.get() + " from " +
               joined(lines[static_cast<size_t>(at)].pieces);
  }
  std::printf("%s from %s %s\n", sender, ip, answer.c_str());
  const bool on = rule_switched_on(context.handle);
  std::printf("rule %s: %s%s\n", RULE, on ? "Enabled" : "Disabled",
              refused ? (on ? ", so the plug-in refuses it"
                            : ", so the plug-in accepts it")
                      : "");
  return ADMIN_OK;
}

void show_line(int number, bool problem, const std::string &message) {
  if (problem)
    std::printf("%s:%d: %s\n", config.valid_domain_ips_filename, number,
                message.c_str());
  else
    std::printf("%s\n", message.c_str());
}

} // namespace

void explain_restrictions(const char *text, const restriction_report &report) {
  const std::vector<file_line> lines = read_lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    const file_line &line = lines[i];
    const int number = static_cast<int>(i + 1);
    if (line.kind == file_line::dropped) {
      report(number, true, "dropped: " + line.why);
      continue;
    }
    if (line.kind != file_line::counts)
      continue;
    std::vector<std::string> networks;
    for (const std::string &piece : line.pieces) {
      const std::string network = network_of(piece);
      if (network.empty())
        report(number, true,
               "skipped '" + piece +
                   "': no address a.b.c.d or block a.b.c.d/n (n up to 32, "
                   "host bits zero)");
      else
        networks.push_back(network);
    }
    const int first = consulted(lines, line.domain);
    if (first != static_cast<int>(i))
      report(number, true,
             "never consulted: line " + std::to_string(first + 1) +
                 " already gives " + line.domain + "'s networks");
    else
      report(number, false, line.domain + ": " + joined(networks));
  }
}

int admin_senders(const admin_context &context) {
  const auto &args = context.args;
  const char *action = args.empty() ? "" : args[0];
  const bool change =
      std::strcmp(action, "add") == 0 || std::strcmp(action, "del") == 0;
  if (std::strcmp(action, "show") == 0 && args.size() == 1) {
    const heap_text text(read_whole_file(config.valid_domain_ips_filename));
    if (!text)
      return admin_fail("senders: %s cannot be read: %s",
                        config.valid_domain_ips_filename,
                        std::strerror(errno ? errno : EINVAL));
    explain_restrictions(text.get(), show_line);
    return ADMIN_OK;
  }
  if (change && args.size() >= 3)
    return change_senders(context, action[0] == 'a');
  if (std::strcmp(action, "test") == 0 && args.size() == 3)
    return test_sender(context);
  return admin_usage_error(ADMIN_SENDERS_USAGE,
                           "senders: unknown action or wrong number of words");
}
