// End-to-end cases as data. Every cases/*.cases file holds cases of the real
// programs; each case is its own test (suite: the file's name), run in a
// fresh sandbox, and passes when the transcript of what its runs did equals
// the one its expectations describe, line for line.
//
//   # a sentence that names the case (and, in CamelCase, the test)
//   ## a comment
//   Set-up, in order, before and between runs:
//     env NAME=VALUE|-NAME|- ...  the plug-in's environment, at first an
//                                 accepted command; "-" empties it
//     file PATH [MODE]            a file of the indented lines below it
//     data PATH TEXT              a file of TEXT exactly (no newline added)
//     debug | rm PATH | lock PATH debug on; a file removed; an flock held
//     custom ID [TEXT]            a custom notice stored (no TEXT: removed)
//     segment ID SIZE TEXT        a notice segment of SIZE bytes made by
//                                 hand: TEXT's length, then as much of TEXT
//     map NAME                    /var/cache/ipr/NAME of the networks below
//     dns [NAME TYPE [VALUE]]     the test DNS server runs, with a record
//     umask MODE                  for the later runs
//     watch PRI... [+WORD]...     the log priorities compared (debug lines
//                                 only with a WORD, if any are given)
//     run [>PATH] spp|admin ARGS  a run (admin's environment is empty)
//   What the last run did, all of it (nothing given: nothing done):
//     exit N | > LINE | err LINE  exit status (else 0), stdout, stderr lines
//     notice REASON | PAGE        the six lines of the standard notice
//     log PRI TEXT                a syslog line (" *N": N of them)
//     summary STATUS [mua=1]      the summary line, of the run's environment
//     query NAME TYPE             a DNS query, when the server runs (" *N")
//     expect PATH [MODE]          the file, as the indented lines below
//     absent PATH                 no such file
//   "..." first or last among the >, err, log or file lines stands for any
//   lines there. Texts take \xHH, \{N*TEXT} (N times), $SITE, $BANNER,
//   $TODAY, $MM/$M (the month), $PREVMM/$PREVM; 'quotes' keep blanks.
//   Times and process ids in the output read <time> and <pid>.
#include "lookup/ipr_map_builder.h"
#include "rules/custom_notice.h"
#include "rules/product.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>

#include <array>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>

namespace {

using lines = std::vector<std::string>;
const char *const PRIORITY[] = {"emerg",   "alert",  "crit", "err",
                                "warning", "notice", "info", "debug"};
enum { OUT, ERR, LOG, QUERY, FILES, SECTIONS };

struct file_check {
  bool absent;
  std::string path, mode, content;
};
struct run_step {
  std::string program, stdout_path;
  lines args, env, words; // words: debug lines kept
  mode_t umask = 022;
  unsigned watched = 0xff; // a bit per priority
  int exit = 0;
  std::array<lines, SECTIONS> expected; // FILES: from the checks
  std::vector<file_check> checks;
};
struct step {
  char kind; // f file, r rm, c custom, s segment, m map, l lock, R run
  std::string path, text;
  mode_t mode = 0644;
  run_step run;
};
struct test_case {
  std::string suite, name, file, error;
  int line = 0;
  bool dns = false;
  lines records;
  std::vector<step> steps;
};

std::string two_digits(int n) {
  return (n < 10 ? "0" : "") + std::to_string(n);
}

std::string expand(std::string_view in) {
  static const auto vars = [] {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char today[16];
    strftime(today, sizeof today, "%Y-%m-%d", &t);
    const int prev = t.tm_mon == 0 ? 12 : t.tm_mon;
    return std::vector<std::pair<std::string, std::string>>{
        {"$BANNER", CORVANE_BANNER},
        {"$SITE", CORVANE_SITE},
        {"$TODAY", today},
        {"$PREVMM", two_digits(prev)},
        {"$PREVM", std::to_string(prev)},
        {"$MM", two_digits(t.tm_mon + 1)},
        {"$M", std::to_string(t.tm_mon + 1)}};
  }();
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    const std::size_t before = i;
    if (in.substr(i, 2) == "\\x" && i + 4 <= in.size()) {
      out += static_cast<char>(
          std::stoi(std::string(in.substr(i + 2, 2)), nullptr, 16));
      i += 4;
    } else if (in.substr(i, 2) == "\\{") {
      const std::size_t star = in.find('*', i), close = in.find('}', star);
      const std::string unit = expand(in.substr(star + 1, close - star - 1));
      for (int n = std::stoi(std::string(in.substr(i + 2, star - i - 2)));
           n > 0; --n)
        out += unit;
      i = close + 1;
    }
    for (const auto &[name, value] : vars)
      if (i == before && in.substr(i, name.size()) == name) {
        out += value;
        i += name.size();
      }
    if (i == before)
      out += in[i++];
  }
  return out;
}

lines words_of(std::string_view text) {
  lines words;
  std::string word;
  bool in_word = false, quoted = false;
  for (char c : std::string(text) + " ") {
    if (c == ' ' && !quoted && in_word)
      words.push_back(expand(word));
    if (c == ' ' && !quoted) {
      word.clear();
      in_word = false;
      continue;
    }
    if (c == '\'')
      quoted = !quoted;
    else
      word += c;
    in_word = true;
  }
  return words;
}

lines lines_of(const std::string &text) {
  lines result;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1)
    result.push_back(text.substr(start, end - start));
  if (start < text.size())
    result.push_back(text.substr(start) + " (no newline at end)");
  return result;
}

// "..." as the first or last line wanted stands for the lines it covers.
void elide(lines &got, const lines &want) {
  const std::size_t kept = want.size() - 1;
  if (want.empty() || got.size() < kept)
    return;
  if (want.back() == "...")
    got.erase(got.begin() + static_cast<std::ptrdiff_t>(kept), got.end());
  else if (want.front() == "...")
    got.erase(got.begin(), got.end() - static_cast<std::ptrdiff_t>(kept));
  else
    return;
  got.insert(want.back() == "..." ? got.end() : got.begin(), "...");
}

std::string mask(std::string text) {
  auto shaped = [&](std::size_t at, std::string_view shape) { // 9: a digit
    for (std::size_t i = 0; i < shape.size(); ++i)
      if (at + i >= text.size() ||
          (shape[i] == '9'
               ? !std::isdigit(static_cast<unsigned char>(text[at + i]))
               : text[at + i] != shape[i]))
        return false;
    return true;
  };
  for (std::size_t at = 0; at < text.size(); ++at)
    if (shaped(at, "9999-99-99 99:99:99"))
      text.replace(at, 19, "<time>");
  for (std::size_t at = 0; (at = text.find("corvane-", at)) != text.npos;
       ++at) {
    const std::size_t open = text.find_first_not_of("adimnps-", at + 8);
    const std::size_t close =
        open < text.size() && text[open] == '['
            ? text.find_first_not_of("0123456789", open + 1)
            : text.npos;
    if (close != text.npos && close > open + 1 && text[close] == ']')
      text.replace(open + 1, close - open - 1, "<pid>");
  }
  return text;
}

// What a file check finds, or (want) expects.
lines check_file(const file_check &check, bool want) {
  struct stat st;
  const bool found = stat(check.path.c_str(), &st) == 0;
  if (check.absent || (!want && !found))
    return {(!check.absent    ? "missing "
             : want || !found ? "absent "
                              : "present ") +
            check.path};
  char mode[8];
  std::snprintf(mode, sizeof mode, " %04o", found ? st.st_mode & 07777 : 0);
  lines out = lines_of(want ? check.content
                            : mask(sandbox::Sandbox::read_file(check.path)));
  if (!want)
    elide(out, lines_of(check.content));
  for (std::string &line : out)
    line = "  " + line;
  out.insert(out.begin(), "expect " + check.path +
                              (check.mode.empty() ? ""
                               : want             ? " " + check.mode
                                                  : mode));
  return out;
}

std::string render(const run_step &r, const std::string &exit,
                   std::array<lines, SECTIONS> sections, bool want) {
  static const char *const tag[] = {"> ", "err ", "log ", "query ", ""};
  std::string t = "run " + r.program;
  for (const std::string &arg : r.args)
    t += " " + arg;
  t += "\nexit " + exit + "\n";
  for (const file_check &check : r.checks)
    for (std::string &line : check_file(check, want))
      sections[FILES].push_back(line);
  for (int i = 0; i < SECTIONS; ++i)
    for (const std::string &line : sections[i])
      t += tag[i] + line + "\n";
  return t;
}

// ---- reading the case files ------------------------------------------------

std::string camel(const std::string &text) {
  std::string name;
  bool start = true;
  for (char c : text) {
    const bool alnum = std::isalnum(static_cast<unsigned char>(c));
    if (alnum)
      name += start ? static_cast<char>(std::toupper(c)) : c;
    start = alnum ? false : c != '\'' || start;
  }
  return name;
}

struct reader {
  test_case *c = nullptr;
  lines env;
  run_step settings; // umask, watch words and priorities of the next runs
  std::string *content = nullptr;

  step &add(char kind, const std::string &path, std::string text = "") {
    c->steps.push_back({kind, path, std::move(text), 0644, {}});
    content = &c->steps.back().text;
    return c->steps.back();
  }

  // One directive; false (the case's error set) when it is none.
  bool directive(const std::string &word, const std::string &rest) {
    run_step *r = c->steps.empty() || c->steps.back().kind != 'R'
                      ? nullptr
                      : &c->steps.back().run;
    lines w = words_of(rest);
    const std::string tail = rest.substr(std::min(rest.find(' '), rest.size()));
    const std::string text = expand(tail.empty() ? "" : tail.substr(1));
    content = nullptr;
    if (word == "env") {
      for (const std::string &var : w) {
        const std::string name = var.substr(var[0] == '-', var.find('='));
        std::erase_if(env, [&](const std::string &v) {
          return var == "-" || v.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (var[0] != '-')
          env.push_back(var);
      }
    } else if (word == "file" && !w.empty()) {
      add('f', w[0]).mode = static_cast<mode_t>(
          w.size() > 1 ? std::stoi(w[1], nullptr, 8) : 0644);
    } else if (word == "data" && !w.empty()) {
      add('f', w[0], text);
    } else if (word == "debug") {
      add('f', "/etc/corvane/control/debug", "true\n");
    } else if ((word == "rm" || word == "lock" || word == "map" ||
                word == "custom") &&
               !w.empty()) {
      add(word == "rm" ? 'r' : word[0], w[0], text);
    } else if (word == "segment" && w.size() > 2) {
      add('s', w[0], text.substr(text.find(' ') + 1)).mode =
          static_cast<mode_t>(std::stoi(w[1]));
    } else if (word == "dns") {
      c->dns = true;
      if (!rest.empty())
        c->records.push_back(expand(rest));
    } else if (word == "umask" && w.size() == 1) {
      settings.umask = static_cast<mode_t>(std::stoi(w[0], nullptr, 8));
    } else if (word == "watch") {
      settings.watched = 0;
      for (unsigned p = 0; p < 8; ++p)
        if (std::find(w.begin(), w.end(), PRIORITY[p]) != w.end())
          settings.watched |= 1u << p;
      std::erase_if(w, [](const std::string &s) { return s[0] != '+'; });
      settings.words = w;
    } else if (word == "run" && !w.empty()) {
      run_step &run = add('R', "").run = settings;
      if (w[0][0] == '>') {
        run.stdout_path = w[0].substr(1);
        w.erase(w.begin());
      }
      run.program = w.empty() ? "" : w[0];
      run.args.assign(w.begin() + !w.empty(), w.end());
      run.env = run.program == "spp" ? env : lines{};
      if (run.program != "spp" && run.program != "admin")
        c->error = "no such program: " + rest;
    } else if (!r) {
      c->error = "no such directive before a run: " + word;
    } else if (word == "exit" && w.size() == 1) {
      r->exit = std::stoi(w[0]);
    } else if (word == ">" || word == "err") {
      r->expected[word == ">" ? OUT : ERR].push_back(expand(rest));
    } else if (word == "notice" && rest.find(" | ") != std::string::npos) {
      for (std::string line :
           lines{"P550-Your message was rejected by this system and was not "
                 "delivered.",
                 "P550-Reason: " + rest.substr(0, rest.find(" | ")),
                 "P550-Protection provided by: $BANNER",
                 "P550-For more information, please visit the URL:",
                 "P550-$SITE" + rest.substr(rest.find(" | ") + 3),
                 "E550 or contact your ISP or mail server operator."})
        r->expected[OUT].push_back(expand(line));
    } else if (word == "log" || word == "query" || word == "summary") {
      std::string line = expand(rest);
      const std::size_t star = line.rfind(" *"); // " *N": N such lines
      int count = 1;
      if (star != line.npos && star + 2 < line.size() &&
          line.find_first_not_of("0123456789", star + 2) == line.npos) {
        count = std::stoi(line.substr(star + 2));
        line.resize(star);
      }
      auto field = [&](const std::string &name) -> std::string {
        for (const std::string &var : r->env)
          if (var.compare(0, name.size() + 1, name + "=") == 0)
            return var.substr(name.size() + 1);
        return "(null)";
      };
      if (word == "summary")
        line = "info " + w[0] + ": mua=" + (w.size() > 1 ? "1" : "0") +
               ",ip=[" + field("TCPREMOTEIP") + ":" + field("TCPREMOTEHOST") +
               "],helo=<" + field("SMTPHELOHOST") + ">,from=<" +
               field("SMTPMAILFROM") + ">,rcpt=<" + field("SMTPRCPTTO") + ">";
      lines &section = r->expected[word == "query" ? QUERY : LOG];
      section.insert(section.end(), count, line);
    } else if ((word == "expect" || word == "absent") && !w.empty()) {
      r->checks.push_back(
          {word == "absent", w[0], w.size() > 1 ? w[1] : "", ""});
      content = &r->checks.back().content;
    } else {
      c->error = "no such directive: " + word;
    }
    return c->error.empty();
  }
};

std::deque<test_case> read_cases(const std::filesystem::path &file) {
  std::deque<test_case> cases;
  std::ifstream in(file);
  reader read;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const bool comment = line.empty() || line.rfind("##", 0) == 0;
    if (line.rfind("# ", 0) == 0 || (cases.empty() && !comment)) {
      cases.push_back({camel(file.stem().string()),
                       camel(line.substr(2)),
                       file.string(),
                       line[0] == '#' ? "" : "a case file begins with a case",
                       number,
                       false,
                       {},
                       {}});
      read = {&cases.back(),
              {"TCPREMOTEIP=192.0.2.10", "TCPREMOTEHOST=mail.example.net",
               "SMTPHELOHOST=mail.example.net",
               "SMTPMAILFROM=alice@example.net", "SMTPRCPTTO=bob@example.org"},
              {},
              nullptr};
    } else if (comment || !cases.back().error.empty()) {
    } else if (line.rfind("  ", 0) == 0 && read.content) {
      *read.content += expand(line.substr(2)) + "\n";
    } else if (const std::size_t space = line.find(' '); !read.directive(
                   line.substr(0, space),
                   space == line.npos ? "" : line.substr(space + 1))) {
      cases.back().line = number;
    }
  }
  return cases;
}

// ---- running a case, inside its sandbox ------------------------------------

// tests/dns/dns_server.py in the sandbox's network namespace.
class dns_server {
public:
  explicit dns_server(const lines &records) {
    lines words = {"/usr/bin/python3", CORVANE_TEST_DNS_SERVER};
    words.insert(words.end(), records.begin(), records.end());
    std::vector<char *> argv;
    for (std::string &word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || (pid_ = fork()) < 0)
      return;
    out_.reset(fds[0]);
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the sandbox
      if (dup2(fds[1], 1) == 1)
        execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    while (pending_.find('\n') == std::string::npos && read_some(20000)) {
    }
    ok_ = pending_.rfind("ready\n", 0) == 0;
    pending_.erase(0, 6);
  }
  ~dns_server() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
      waitpid(pid_, nullptr, 0);
  }
  bool ok() const { return ok_; }

  // The queries since the last call, as "NAME TYPE".
  lines queries() {
    while (read_some(0)) {
    }
    const std::size_t end = pending_.rfind('\n') + 1; // whole lines only
    lines queries = lines_of(pending_.substr(0, end));
    pending_.erase(0, end);
    for (std::string &query : queries)
      query.erase(0, 6); // "QUERY "
    return queries;
  }

private:
  bool read_some(int wait_ms) {
    struct pollfd more = {out_.get(), POLLIN, 0};
    char chunk[4096];
    const ssize_t n = poll(&more, 1, wait_ms) == 1
                          ? read(out_.get(), chunk, sizeof chunk)
                          : 0;
    pending_.append(chunk, n > 0 ? static_cast<std::size_t>(n) : 0);
    return n > 0;
  }

  pid_t pid_ = -1;
  bool ok_ = false;
  unique_fd out_;
  std::string pending_;
};

std::string observe(const run_step &r, sandbox::Sandbox &box, dns_server *dns) {
  box.umask = r.umask;
  const sandbox::run_result got = box.run(
      r.program == "spp" ? CORVANE_SPP_PATH : CORVANE_ADMIN_PATH, r.args, r.env,
      r.stdout_path.empty() ? nullptr : r.stdout_path.c_str());
  std::array<lines, SECTIONS> s = {lines_of(mask(got.out)),
                                   lines_of(mask(got.err))};
  for (const sandbox::log_line &l : got.log) {
    const bool word =
        std::any_of(r.words.begin(), r.words.end(), [&](const std::string &w) {
          return l.text.find(w.substr(1)) != std::string::npos;
        });
    if (l.priority >= 0 && (r.watched >> l.priority & 1) &&
        (word || r.words.empty() || l.priority != LOG_DEBUG))
      s[LOG].push_back(
          std::string(PRIORITY[l.priority]) + " " +
          (l.facility == LOG_MAIL && l.ident == "corvane-" + r.program
               ? ""
               : "[not mail/" + l.ident + "] ") +
          mask(l.text));
  }
  for (int i : {OUT, ERR, LOG})
    elide(s[i], r.expected[i]);
  if (dns)
    s[QUERY] = dns->queries();
  return render(r,
                got.timed_out        ? "timed out"
                : got.wrapper_failed ? "wrapper error"
                : got.term_signal ? "signal " + std::to_string(got.term_signal)
                                  : std::to_string(got.exit_status),
                s, false);
}

std::string run_case(const test_case &c, sandbox::Sandbox &box) {
  std::string transcript;
  auto failed = [&](const std::string &what) {
    transcript += "set-up failed: " + what + "\n";
  };
  for (const char *name : {"dyna", "spam"})
    if (!box.write_file(std::string("/etc/corvane/dynaregex/") + name +
                            ".regexes",
                        std::string("# ") + name + " patterns\n"))
      failed("pattern files");
  std::unique_ptr<dns_server> dns;
  if (c.dns && !(dns = std::make_unique<dns_server>(c.records))->ok())
    return "the test DNS server did not start";
  std::vector<unique_fd> locks;
  for (const step &s : c.steps) {
    const std::string map = "/var/cache/ipr/" + s.path;
    char error[256] = "";
    if ((s.kind == 'f' && !box.write_file(s.path, s.text, s.mode)) ||
        (s.kind == 'r' && unlink(s.path.c_str()) != 0) ||
        (s.kind == 'c' &&
         store_custom_notice(std::stoi(s.path), s.text.c_str()) != 1) ||
        (s.kind == 'm' &&
         (!box.write_file(map + ".networks", s.text) ||
          ipr_build_map((map + ".networks").c_str(), map.c_str(), error,
                        sizeof error) != 0)))
      failed(s.path + " " + error);
    if (s.kind == 's') {
      const key_t key = ftok(CUSTOM_NOTICE_KEY_FILE, std::stoi(s.path));
      shmctl(shmget(key, 0, 0), IPC_RMID, nullptr); // in place of any before
      const int id = shmget(key, s.mode, IPC_CREAT | 0777);
      auto *bytes = static_cast<char *>(id < 0 ? nullptr : shmat(id, 0, 0));
      const auto length = static_cast<uint32_t>(s.text.size());
      if (!bytes || bytes == reinterpret_cast<char *>(-1) ||
          s.mode < sizeof length) {
        failed("segment " + s.path);
        continue;
      }
      std::memcpy(bytes, &length, sizeof length);
      std::memcpy(bytes + sizeof length, s.text.data(),
                  std::min<std::size_t>(length, s.mode - sizeof length));
      shmdt(bytes);
    }
    if (s.kind == 'l') {
      locks.emplace_back(open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
      if (flock(locks.back().get(), LOCK_EX | LOCK_NB) != 0)
        failed("lock " + s.path);
    }
    if (s.kind == 'R')
      transcript += observe(s.run, box, dns.get());
  }
  return transcript;
}

class case_test : public testing::Test {
public:
  explicit case_test(const test_case &c) : c_(c) {}
  void TestBody() override {
    ASSERT_EQ(c_.error, "") << c_.file << ":" << c_.line;
    if (!sandbox::unavailable_reason().empty())
      GTEST_SKIP() << "no sandbox here: " << sandbox::unavailable_reason();
    const sandbox::outcome o = sandbox::in_sandbox(
        [this](sandbox::Sandbox &box) { return run_case(c_, box); });
    ASSERT_TRUE(o.set_up) << o.error;
    std::string expected;
    for (const step &s : c_.steps)
      if (s.kind == 'R')
        expected +=
            render(s.run, std::to_string(s.run.exit), s.run.expected, true);
    EXPECT_EQ(expected, o.report) << c_.file << ":" << c_.line;
    if (const char *show = std::getenv("CORVANE_E2E_SHOW")) // what it did
      std::ofstream(show, std::ios::app) << "# " << c_.name << "\n" << o.report;
  }

private:
  const test_case &c_;
};

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  static std::deque<test_case> all;
  std::vector<std::filesystem::path> files;
  const char *dir = std::getenv("CORVANE_E2E_CASES"); // another folder
  for (const auto &entry :
       std::filesystem::directory_iterator(dir ? dir : CORVANE_CASES_DIR))
    if (entry.path().extension() == ".cases")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto &file : files)
    for (test_case &c : read_cases(file))
      all.push_back(std::move(c));
  for (const test_case &c : all)
    testing::RegisterTest(
        c.suite.c_str(), c.name.c_str(), nullptr, nullptr, c.file.c_str(),
        c.line, [&c]() -> testing::Test * { return new case_test(c); });
  return RUN_ALL_TESTS();
}
