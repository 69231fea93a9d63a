// libFuzzer targets for the file readers that a corrupt disk or a careless
// admin reaches. One source, one target per build (FUZZ_TARGET): each input
// becomes the file's content (the first bytes choose a lookup where one is
// needed) and the reader must answer without a crash, leak or hang.
#include "admin/admin_senders.h"
#include "admin/admin_stats.h"
#include "engine/counters.h"
#include "engine/list_admin.h"
#include "engine/list_files.h"
#include "frame/control_files.h"
#include "ksf/known_sender_forgery_funcs.h"
#include "lookup/ipr_maps.h"
#include "lookup/pattern_index.h"
#include "lookup/pattern_prefilter.h"
#include "lookup/regex_lists.h"
#include "util/checksum.h"
#include "util/small_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string &scratch() {
  static const std::string dir = [] {
    char name[] = "/tmp/corvane-fuzz-XXXXXX";
    if (!mkdtemp(name))
      std::abort();
    return std::string(name);
  }();
  return dir;
}

[[maybe_unused]] std::string put(const char *name, const uint8_t *data,
                                 size_t size) {
  std::string path = scratch() + "/" + name;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
    std::abort();
  close(fd);
  return path;
}

[[maybe_unused]] int count_line(const char *, void *context) {
  ++*static_cast<int *>(context);
  return 0;
}

[[maybe_unused]] void printed(const char *) {}

// A file whose bytes come in reads of at most `chunk`; the read at `fail_at`
// fails, once or for good.
struct scripted_file {
  std::string bytes;
  size_t chunk = SIZE_MAX, fail_at = SIZE_MAX, at = 0;
  bool fail_once = false;
  ssize_t read(char *to, size_t n) {
    if (at == fail_at) {
      fail_at = fail_once ? SIZE_MAX : at;
      errno = EIO;
      return -1;
    }
    n = std::min({n, chunk, bytes.size() - at, fail_at - at});
    std::memcpy(to, bytes.data() + at, n);
    at += n;
    return static_cast<ssize_t>(n);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
#if FUZZ_TARGET == 1 || FUZZ_TARGET == 2
  // glibc's regcomp cost on counted and '+' repetition is bounded by the
  // admin's check and the plug-in's address-space limit, not by the
  // readers; mapping them away keeps the fuzzer on the readers' own work.
  std::string text(reinterpret_cast<const char *>(data), size);
  for (char &c : text)
    if (c == '+' || c == '{')
      c = '.';
  const uint8_t *tamed = reinterpret_cast<const uint8_t *>(text.data());
#endif
#if FUZZ_TARGET == 1 // list and toggle files, and the wildcard entries in them
  std::string path = put("list", tamed, size);
  int seen = 0, counted = 0;
  (void)for_each_list_line(path.c_str(), 500, &counted, count_line, &seen);
  string_list *list = nullptr;
  (void)read_list_file(path.c_str(), &list);
  for (string_list *n = list; n; n = n->next)
    (void)wildcard_match(n->value, "alice@example.net");
  string_list_free(&list);
#elif FUZZ_TARGET == 2 // host-name pattern files, and the prefilter's lines
  const char *subject = "dsl-192-0-2-1.pool.example.net";
  std::string path = put("patterns", tamed, size);
  (void)checkRegexList(path.c_str(), subject, nullptr);
  // A line passed over must compile and must not match.
  const std::string folded = fold_subject(subject);
  for (size_t from = 0; from < text.size();) {
    const size_t end = std::min(text.find('\n', from), text.size());
    const std::string line = text.substr(from, end - from);
    from = end + 1;
    regex_t re;
    if (!pattern_cannot_match(line.c_str(), folded))
      continue;
    if (regcomp(&re, line.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0)
      std::abort();
    const bool matched = regexec(&re, subject, 0, nullptr, 0) == 0;
    regfree(&re);
    if (matched)
      std::abort();
  }
  // The same lines' index, saved and read back with a byte the input
  // chooses changed: a line it passes over must compile and not match.
  pattern_index built, index;
  std::vector<std::string> lines;
  for (size_t from = 0; from < text.size();) {
    const size_t end = std::min(text.find('\n', from), text.size());
    lines.push_back(text.substr(from, end - from).c_str());
    built.add(uint32_t(lines.size()), uint32_t(from), lines.back().c_str(),
              lines.back().size());
    from = end + 1;
  }
  struct stat source;
  const std::string saved = path + ".index";
  if (stat(path.c_str(), &source) != 0 || !built.save(saved, source))
    std::abort();
  struct stat st;
  if (size >= 3 && stat(saved.c_str(), &st) == 0 && st.st_size > 0) {
    const off_t at = off_t((data[0] | data[1] << 8) % st.st_size);
    char byte;
    int fd = open(saved.c_str(), O_RDWR);
    if (pread(fd, &byte, 1, at) == 1) {
      byte = char(byte ^ (data[2] ? data[2] : 1));
      (void)!pwrite(fd, &byte, 1, at);
    }
    close(fd);
  }
  const uint64_t mask = pattern_subject_mask(folded);
  pattern_index *use = index.load(saved, source, mask) ? &index : &built;
  pattern_line_place place;
  for (size_t i = use->next(0, mask); i < use->lines();
       i = use->next(i + 1, mask)) {
    const pattern_look look = use->look(i, folded, &place);
    if (look == pattern_look::damaged)
      break; // the run reads the text from here on
    if (look == pattern_look::compile)
      continue;
    // Passed over: the line the built index has there must compile and not
    // match (a damaged index must not make it pass over another).
    if (i >= lines.size())
      continue;
    regex_t re;
    if (regcomp(&re, lines[i].c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) !=
        0)
      std::abort();
    const bool matched = regexec(&re, subject, 0, nullptr, 0) == 0;
    regfree(&re);
    if (matched)
      std::abort();
  }
#elif FUZZ_TARGET == 3 // IP-reputation map files
  uint32_t address = 0;
  std::memcpy(&address, data, size < 4 ? size : 4);
  std::string path = put("map", data, size);
  int fd = open(path.c_str(), O_RDONLY);
  (void)lookupMap(fd, address);
  close(fd);
#elif FUZZ_TARGET == 4 // month counter files, counted into and reported
  // An odd first byte makes a file of the counter file's own size.
  std::string bytes(reinterpret_cast<const char *>(data), size);
  if (size > 0 && (data[0] & 1))
    bytes.resize(COUNTER_FILE_SIZE);
  std::string path = put(
      "counter", reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  update_counter_file(path.c_str(), size % 3, 1790000000 + size * 86400);
  if (bytes.size() == COUNTER_FILE_SIZE)
    (void)print_counter_report(
        reinterpret_cast<const unsigned char *>(bytes.data()), printed);
#elif FUZZ_TARGET == 5 // yes/no control files
  (void)read_control_flag(put("debug", data, size).c_str());
#elif FUZZ_TARGET == 6 // the admin's list rewrite, adding and deleting
  size_t split = size ? data[0] % (size < 64 ? size : 64) : 0;
  std::string entry(reinterpret_cast<const char *>(data) + (size ? 1 : 0),
                    split > 0 ? split - 1 : 0);
  entry.erase(std::find(entry.begin(), entry.end(), '\0'), entry.end());
  std::string path = put("blocked_from", data + split, size - split);
  char errbuf[LIST_ERRBUF_SIZE];
  (void)update_list_file(path.c_str(), entry.c_str(), errbuf, add_list_writer);
  (void)update_list_file(path.c_str(), entry.c_str(), errbuf, del_list_writer);
#elif FUZZ_TARGET == 7 // the known senders' restriction file, and its analysis
  std::string path = put("valid_domain_ips", data, size);
  ut_list_node *records = ksf_get_domain_ip_sets_from_file(path.c_str());
  ksf_destroy_domain_ips_list(&records);
  (void)ksf_check_domain_to_ip_restriction("192.0.2.1", "example.org",
                                           path.c_str());
  std::string text(reinterpret_cast<const char *>(data), size);
  explain_restrictions(text.c_str(), [](int, bool, const std::string &) {});
#elif FUZZ_TARGET == 8 // list lines from the descriptor, as a stream reads
  // The first bytes choose the reads' size, a read that fails (once or for
  // good) and whether the reader is told the size; the lines must be those
  // that fgets and getc give, byte for byte.
  if (size < 4)
    return 0;
  static scripted_file file;
  file = scripted_file{};
  file.bytes.assign(reinterpret_cast<const char *>(data) + 4, size - 4);
  file.chunk = data[0] ? data[0] * 33u : SIZE_MAX;
  if ((data[1] & 1) && !file.bytes.empty())
    file.fail_at = (data[2] | data[1] << 7) % file.bytes.size(),
    file.fail_once = data[1] & 2;
  const scripted_file fresh = file;
  std::string by_stream;
  cookie_io_functions_t io{};
  io.read = [](void *, char *to, size_t n) { return file.read(to, n); };
  std::FILE *stream = fopencookie(nullptr, "r", io);
  for (char line[LIST_LINE_BUFFER]; std::fgets(line, sizeof line, stream);) {
    size_t length = std::strlen(line);
    int c = 0;
    if (length > 0 && line[length - 1] == '\n') {
      line[--length] = '\0';
      if (length > 0 && line[length - 1] == '\r')
        line[--length] = '\0';
    } else if (length == LIST_LINE_BUFFER - 1) {
      while ((c = std::getc(stream)) != EOF && c != '\n') {
      }
    }
    by_stream += c == '\n' ? "S\n" : "T" + std::string(line) + "\n";
  }
  std::fclose(stream);
  file = fresh;
  fd_lines reader(-1, (data[3] & 1) ? int64_t(file.bytes.size()) : 0,
                  [](int, void *to, size_t n) {
                    return file.read(static_cast<char *>(to), n);
                  });
  // Asked first for the whole file, it gives the file's bytes or nothing,
  // and the same lines after; from the bytes in memory, the same lines too.
  size_t whole_size = 0;
  const char *whole = (data[3] & 2) ? reader.whole(&whole_size) : nullptr;
  if (whole && std::string(whole, whole_size) != fresh.bytes)
    std::abort();
  const bool in_memory = (data[3] & 4) && fresh.fail_at == SIZE_MAX &&
                         fresh.bytes.size() <= fd_lines::CAPACITY;
  fd_lines held(fresh.bytes.data(), fresh.bytes.size());
  std::string by_reader;
  char *line;
  for (line_read got; (got = read_list_line(in_memory ? held : reader,
                                            &line)) != line_read::end;)
    by_reader +=
        got == line_read::skipped ? "S\n" : "T" + std::string(line) + "\n";
  if (by_reader != by_stream)
    std::abort();
#elif FUZZ_TARGET == 9 // the small files' cache, its checksum made right or not
  // Its entries are looked up by names in a folder of a fixed name, so that
  // the fuzzer can find them: "list" (a file), "gone" (none) and "sub/gone"
  // (no folder).
  static const std::string folder = [] {
    const std::string name = "/tmp/corvane-fuzz-small-files";
    (void)mkdir(name.c_str(), 0700);
    return name + "/";
  }();
  std::string bytes(reinterpret_cast<const char *>(data), size & ~size_t{7});
  if (bytes.size() >= 32 && (data[8] & 1)) {
    std::string unsummed = bytes;
    std::memset(unsummed.data() + 16, 0, 8);
    running_checksum sum;
    sum.add(unsummed.data(), unsummed.size() / 8);
    const uint64_t value = sum.value();
    std::memcpy(bytes.data() + 16, &value, 8);
  }
  const std::string list = folder + "list", cache = folder + "cache";
  int fd = open(list.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data, size < 64 ? size : 64) < 0)
    std::abort();
  close(fd);
  fd = open(cache.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) < 0)
    std::abort();
  close(fd);
  small_files_use_cache(cache.c_str());
  for (const std::string &name :
       {list, folder + "gone", folder + "sub/gone", list}) {
    small_file file(name.c_str(), 0);
    size_t length;
    while (file.opened() && file.lines().next_piece(1023, &length)) {
    }
  }
  (void)small_file_regular((folder + "gone").c_str());
  (void)small_files_save();
#endif
  return 0;
}
