// End-to-end cases as data. Each case of cases/*.cases is a test (suite: the
// file's name), run in a fresh sandbox; it passes when the transcript of
// what its runs did equals the one its expectations describe.
//
//   # a sentence that names the case          ## a comment
//   Set-up, in order, before and between runs:
//     env NAME=VALUE|-NAME|- ...   the plug-in's environment, at first an
//                                  accepted command; "-" empties it
//     file PATH [LINE]             a file of LINE or the indented lines below
//     data PATH TEXT               a file of TEXT exactly
//     debug | rm PATH | lock PATH  debug on; a file removed; an flock held
//     custom ID [-N] [TEXT]        a custom notice segment made by hand:
//                                  TEXT's length, then TEXT (N bytes fewer);
//                                  no TEXT: removed
//     map NAME [LINE]              /var/cache/ipr/NAME of the networks given
//     dns [NAME TYPE [VALUE]]      the test DNS server runs, with a record
//                                  (it logs each query as "NAME TYPE")
//     umask MODE                   for the later runs
//     watch PRI... [+WORD]...      for the later runs: the log priorities
//                                  compared (debug lines only with a WORD)
//     run [>PATH] spp|admin ARGS   a run (admin's environment is empty)
//     run *N spp|admin ARGS        N runs at once, "#" in ARGS their number;
//                                  only their exit statuses are compared
//     spp STATUS [mua=1] [ENV...]  env ENV..., run spp, and its summary line
//   What the last run did, all of it (nothing given: nothing done):
//     exit N | > LINE | err LINE   exit status (else 0), stdout, stderr
//     notice REASON | PAGE         the six lines of the standard notice
//     log PRI TEXT                 a syslog line
//     summary STATUS [mua=1]       the summary line of the run's environment
//     query NAME TYPE              a DNS query, when the server runs
//     expect PATH [MODE]           the file, as the indented lines below
//     absent PATH                  no such file
//   "..." first or last among the >, err, log or file lines stands for any
//   lines there; " *N" ends a log, query or file line that comes N times.
//   Texts take \xHH, \{N*TEXT} (N times), $SITE, $BANNER, $TODAY, $MM/$M
//   (this month); 'quotes' keep blanks. Times and process ids in the output
//   read <time> and <pid>.
#include "lookup/ipr_map_builder.h"
#include "rules/product.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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
#include <regex>

namespace {

using lines = std::vector<std::string>;
const char *const PRIORITY[] = {"emerg",   "alert",  "crit", "err",
                                "warning", "notice", "info", "debug"};
enum { OUT, ERR, LOG, QUERY, SECTIONS };
const char *const TAG[] = {"> ", "err ", "log ", "query "};

struct file_check {
  bool absent;
  std::string path, mode, content;
};
struct run_step {
  std::string program, stdout_path;
  lines args, env, words; // words: the debug lines kept
  mode_t umask = 022;
  unsigned watched = 0xff; // a bit per priority
  int exit = 0, at_once = 0;
  std::array<lines, SECTIONS> expected;
  lines summary; // the last log line
  std::vector<file_check> checks;
};
struct step {
  char kind; // c custom, l lock, m map, r rm, R run, else a file (d, f)
  std::string path, text;
  mode_t mode; // of a file; how much shorter a custom notice's segment is
  run_step run;
};
struct test_case {
  std::string suite, name, file, error;
  int line;
  bool dns = false;
  lines records{};
  std::vector<step> steps{};
};

std::string expand(std::string_view in) {
  static const auto vars = [] {
    const time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char today[16], mm[4];
    strftime(today, sizeof today, "%Y-%m-%d", &t);
    strftime(mm, sizeof mm, "%m", &t);
    return std::vector<std::pair<std::string, std::string>>{
        {"$BANNER", CORVANE_BANNER},
        {"$SITE", CORVANE_SITE},
        {"$TODAY", today},
        {"$MM", mm},
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
      for (int n = std::stoi(std::string(in.substr(i + 2))); n > 0; --n)
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

lines words_of(const std::string &text) {
  lines words;
  bool quoted = false, fresh = true;
  for (char c : text) {
    if (c == ' ' && !quoted) {
      fresh = true;
      continue;
    }
    if (fresh)
      words.emplace_back();
    fresh = false;
    if (c == '\'')
      quoted = !quoted;
    else
      words.back() += c;
  }
  for (std::string &word : words)
    word = expand(word);
  return words;
}

lines lines_of(const std::string &text) {
  lines result;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != text.npos;
       start = end + 1)
    result.push_back(text.substr(start, end - start));
  if (start < text.size())
    result.push_back(text.substr(start) + " (no newline at end)");
  return result;
}

// "..." as the first or last line wanted stands for the lines it covers.
void elide(lines &got, const lines &want) {
  if (want.empty() || got.size() < want.size() - 1 ||
      (want.back() != "..." && want.front() != "..."))
    return;
  const auto kept = static_cast<std::ptrdiff_t>(want.size() - 1);
  if (want.back() == "...")
    got.erase(got.begin() + kept, got.end());
  else
    got.erase(got.begin(), got.end() - kept);
  got.insert(want.back() == "..." ? got.end() : got.begin(), "...");
}

std::string mask(const std::string &text) {
  static const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"),
      pid(R"((corvane-[a-z]+)\[\d+\])");
  return std::regex_replace(std::regex_replace(text, time, "<time>"), pid,
                            "$1[<pid>]");
}

// A file check as wanted, or as found.
lines file_lines(const file_check &check, bool want) {
  struct stat st {};
  if (want ? check.absent : stat(check.path.c_str(), &st) != 0)
    return {"absent " + check.path};
  char mode[8];
  std::snprintf(mode, sizeof mode, " %04o", st.st_mode & 07777);
  lines out = {"expect " + check.path +
               (check.mode.empty() ? ""
                : want             ? " " + check.mode
                                   : mode)};
  lines content = lines_of(check.content);
  if (!want) {
    content = lines_of(mask(sandbox::Sandbox::read_file(check.path)));
    elide(content, lines_of(check.content));
  }
  for (const std::string &line : check.absent ? lines{} : content)
    out.push_back("  " + line);
  return out;
}

std::string render(const run_step &r, const std::string &exit,
                   const std::array<lines, SECTIONS> &sections, bool want) {
  std::string t = "run " + r.program;
  for (const std::string &arg : r.args)
    t += " " + arg;
  t += "\nexit " + exit + "\n";
  for (int i = 0; i < SECTIONS; ++i)
    for (const std::string &line : sections[i])
      t += TAG[i] + line + "\n";
  for (const file_check &check : r.checks)
    for (const std::string &line : file_lines(check, want))
      t += line + "\n";
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

// A line that ends in " *N" N times, else once.
lines repeated(std::string line) {
  const std::size_t star = line.rfind(" *");
  if (star == line.npos || star + 2 == line.size() ||
      line.find_first_not_of("0123456789", star + 2) != line.npos)
    return {line};
  const auto count = std::stoul(line.substr(star + 2));
  line.resize(star);
  return lines(count, line);
}

struct reader {
  test_case *c;
  lines env = {"TCPREMOTEIP=192.0.2.10", "TCPREMOTEHOST=mail.example.net",
               "SMTPHELOHOST=mail.example.net",
               "SMTPMAILFROM=alice@example.net", "SMTPRCPTTO=bob@example.org"};
  run_step settings{}; // umask and watch of the later runs
  std::string *content = nullptr;

  std::string *add(char kind, const std::string &path, std::string text = "",
                   int mode = 0644) {
    c->steps.push_back({kind, path, text, static_cast<mode_t>(mode), {}});
    return &c->steps.back().text;
  }
  void change_env(const lines &w) {
    for (const std::string &var : w) {
      const std::string name = var.substr(var[0] == '-', var.find('='));
      std::erase_if(env, [&](const std::string &v) {
        return var == "-" || v.rfind(name + "=", 0) == 0;
      });
      if (var[0] != '-')
        env.push_back(var);
    }
  }
  void start_run(lines w) {
    add('R', "");
    run_step &run = c->steps.back().run = settings;
    if (w[0][0] == '>' || w[0][0] == '*') {
      (w[0][0] == '>' ? run.stdout_path : run.program) = w[0].substr(1);
      run.at_once = w[0][0] == '*' ? std::stoi(run.program) : 0;
      w.erase(w.begin());
    }
    run.program = w.empty() ? "" : w[0];
    run.args.assign(w.begin() + !w.empty(), w.end());
    run.env = run.program == "spp" ? env : lines{};
    if (run.program != "spp" && run.program != "admin")
      c->error = "no such program";
  }
  void summary(run_step &r, const std::string &status, bool mua) {
    auto field = [&](const std::string &name) -> std::string {
      for (const std::string &var : r.env)
        if (var.rfind(name + "=", 0) == 0)
          return var.substr(name.size() + 1);
      return "(null)";
    };
    r.summary.push_back(
        "info " + status + ": mua=" + (mua ? "1" : "0") + ",ip=[" +
        field("TCPREMOTEIP") + ":" + field("TCPREMOTEHOST") + "],helo=<" +
        field("SMTPHELOHOST") + ">,from=<" + field("SMTPMAILFROM") +
        ">,rcpt=<" + field("SMTPRCPTTO") + ">");
  }

  // One directive; the case's error is set when it is none.
  void directive(const std::string &word, const std::string &rest) {
    run_step *r = c->steps.empty() || c->steps.back().kind != 'R'
                      ? nullptr
                      : &c->steps.back().run;
    lines w = words_of(rest);
    const std::string text = expand(rest.substr(rest.find(' ') + 1));
    const std::string line = expand(rest);
    const bool mua = w.size() > 1 && w[1] == "mua=1";
    content = nullptr;
    if (word == "env") {
      change_env(w);
    } else if ((word == "file" || word == "map") && !w.empty()) {
      content = add(word[0], w[0], w.size() > 1 ? text + "\n" : "");
    } else if (word == "data" && !w.empty()) {
      add('d', w[0], w.size() > 1 ? text : "");
    } else if (word == "custom" && !w.empty()) {
      const bool cut =
          w.size() > 2 && std::regex_match(w[1], std::regex("-\\d+"));
      add('c', w[0],
          w.size() < 2 ? ""
          : cut        ? text.substr(text.find(' ') + 1)
                       : text,
          cut ? -std::stoi(w[1]) : 0);
    } else if (word == "debug") {
      add('d', "/etc/corvane/control/debug", "true\n");
    } else if ((word == "rm" || word == "lock") && !w.empty()) {
      add(word == "rm" ? 'r' : 'l', w[0]);
    } else if (word == "dns") {
      c->dns = true;
      if (!rest.empty())
        c->records.push_back(line);
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
      start_run(w);
    } else if (word == "spp" && !w.empty()) {
      change_env({w.begin() + 1 + mua, w.end()});
      start_run({"spp"});
      summary(c->steps.back().run, w[0], mua);
    } else if (!r) {
      c->error = "no such directive before a run: " + word;
    } else if (word == "exit" && w.size() == 1) {
      r->exit = std::stoi(w[0]);
    } else if (word == ">" || word == "err") {
      r->expected[word == ">" ? OUT : ERR].push_back(line);
    } else if (word == "notice" && rest.find(" | ") != rest.npos) {
      const std::size_t bar = line.find(" | ");
      r->expected[OUT].insert(
          r->expected[OUT].end(),
          {"P550-Your message was rejected by this system and was not "
           "delivered.",
           "P550-Reason: " + line.substr(0, bar),
           "P550-Protection provided by: " CORVANE_BANNER,
           "P550-For more information, please visit the URL:",
           "P550-" CORVANE_SITE + line.substr(bar + 3),
           "E550 or contact your ISP or mail server operator."});
    } else if (word == "summary" && !w.empty()) {
      summary(*r, w[0], mua);
    } else if (word == "log" || word == "query") {
      lines &section = r->expected[word == "log" ? LOG : QUERY];
      for (const std::string &each : repeated(line))
        section.push_back(each);
    } else if ((word == "expect" || word == "absent") && !w.empty()) {
      r->checks.push_back(
          {word == "absent", w[0], w.size() > 1 ? w[1] : "", ""});
      content = &r->checks.back().content;
    } else {
      c->error = "no such directive: " + word;
    }
  }
};

std::deque<test_case> read_cases(const std::filesystem::path &file) {
  std::deque<test_case> cases;
  std::ifstream in(file);
  reader read{nullptr};
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const bool comment = line.empty() || line.rfind("##", 0) == 0;
    if (line.rfind("# ", 0) == 0 || (cases.empty() && !comment)) {
      cases.push_back(
          {camel(file.stem().string()), camel(line.substr(2)), file.string(),
           line[0] == '#' ? "" : "a case file begins with a case", number});
      read = {&cases.back()};
    } else if (comment || !cases.back().error.empty()) {
    } else if (line.rfind("  ", 0) == 0 && read.content) {
      for (const std::string &each : repeated(expand(line.substr(2))))
        *read.content += each + "\n";
    } else {
      const std::size_t space = line.find(' ');
      read.directive(line.substr(0, space),
                     space == line.npos ? "" : line.substr(space + 1));
      if (!cases.back().error.empty())
        cases.back().line = number;
    }
  }
  for (test_case &c : cases)
    for (step &s : c.steps)
      for (const std::string &line : s.run.summary)
        s.run.expected[LOG].push_back(line);
  return cases;
}

// ---- running a case, inside its sandbox ------------------------------------

// Starts tests/dns/dns_server.py in the sandbox; true once it is ready.
bool start_dns_server(lines words) {
  words.insert(words.begin(), {"/usr/bin/python3", CORVANE_TEST_DNS_SERVER});
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return false;
  if (fork() == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL); // it goes with the sandbox
    dup2(fds[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  unique_fd said(fds[0]);
  std::string ready;
  for (char c = 0; c != '\n' && read(said.get(), &c, 1) == 1;)
    ready += c;
  return ready == "ready\n";
}

// Runs N at once, each with "#" in its arguments replaced by its number.
std::string exits_at_once(const run_step &r, sandbox::Sandbox &box) {
  box.timeout = std::chrono::seconds(120); // all at once, maybe valgrind
  std::vector<pid_t> runs;
  for (int i = 1; i <= r.at_once; ++i)
    if ((runs.emplace_back(fork())) == 0) {
      lines args = r.args;
      for (std::string &arg : args)
        if (const std::size_t at = arg.find('#'); at != arg.npos)
          arg.replace(at, 1, std::to_string(i));
      _exit(box.run(r.program == "spp" ? CORVANE_SPP_PATH : CORVANE_ADMIN_PATH,
                    args, r.env)
                .exit_status);
    }
  std::string exits;
  for (pid_t run : runs) {
    int status = -1;
    waitpid(run, &status, 0);
    exits += (exits.empty() ? "" : " ") +
             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return exits;
}

std::string observe(const run_step &r, sandbox::Sandbox &box) {
  box.umask = r.umask;
  if (r.at_once)
    return render(r, exits_at_once(r, box), {}, false);
  const sandbox::run_result got = box.run(
      r.program == "spp" ? CORVANE_SPP_PATH : CORVANE_ADMIN_PATH, r.args, r.env,
      r.stdout_path.empty() ? nullptr : r.stdout_path.c_str());
  std::array<lines, SECTIONS> s = {lines_of(mask(got.out)),
                                   lines_of(mask(got.err))};
  for (const sandbox::log_line &l : got.log) {
    if (l.ident == "dns-server")
      s[QUERY].push_back(l.text);
    const bool word =
        std::any_of(r.words.begin(), r.words.end(), [&](const std::string &w) {
          return l.text.find(w.substr(1)) != std::string::npos;
        });
    if (l.priority >= 0 && (r.watched >> l.priority & 1) &&
        l.ident != "dns-server" &&
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
  return render(r,
                got.timed_out     ? "timed out"
                : got.term_signal ? "signal " + std::to_string(got.term_signal)
                                  : std::to_string(got.exit_status),
                s, false);
}

// Sets up one step; false when it fails.
bool prepare(const step &s, sandbox::Sandbox &box,
             std::vector<unique_fd> &locks) {
  const std::string map = "/var/cache/ipr/" + s.path;
  if (s.kind == 'r')
    return unlink(s.path.c_str()) == 0;
  if (s.kind == 'm')
    return box.write_file(map + ".networks", s.text) &&
           ipr_build_map((map + ".networks").c_str(), map.c_str(), nullptr,
                         0) == 0;
  if (s.kind == 'l') {
    locks.emplace_back(open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
    return flock(locks.back().get(), LOCK_EX | LOCK_NB) == 0;
  }
  if (s.kind != 'c')
    return box.write_file(s.path, s.text, s.mode);
  const key_t key = ftok("/bin/bash", std::stoi(s.path));
  shmctl(shmget(key, 0, 0), IPC_RMID, nullptr); // in place of any before
  const auto length = static_cast<uint32_t>(s.text.size());
  const std::size_t size = 4 + length - s.mode;
  const int id = s.text.empty() ? -2 : shmget(key, size, IPC_CREAT | 0777);
  void *bytes = id < 0 ? nullptr : shmat(id, nullptr, 0);
  if (!bytes || bytes == reinterpret_cast<void *>(-1))
    return id == -2;
  std::memcpy(bytes, &length, 4);
  std::memcpy(static_cast<char *>(bytes) + 4, s.text.data(), size - 4);
  return shmdt(bytes) == 0;
}

std::string run_case(const test_case &c, sandbox::Sandbox &box) {
  for (const char *name : {"dyna", "spam"})
    box.write_file(std::string("/etc/corvane/dynaregex/") + name + ".regexes",
                   std::string("# ") + name + " patterns\n");
  if (c.dns && !start_dns_server(c.records))
    return "the test DNS server did not start";
  std::string transcript;
  std::vector<unique_fd> locks;
  for (const step &s : c.steps)
    if (s.kind == 'R')
      transcript += observe(s.run, box);
    else if (!prepare(s, box, locks))
      transcript += "set-up failed: " + s.path + "\n";
  return transcript;
}

struct case_test : testing::Test {
  explicit case_test(const test_case &c) : c(c) {}
  void TestBody() override {
    ASSERT_EQ(c.error, "") << c.file << ":" << c.line;
    if (!sandbox::unavailable_reason().empty())
      GTEST_SKIP() << "no sandbox here: " << sandbox::unavailable_reason();
    const sandbox::outcome o = sandbox::in_sandbox(
        [this](sandbox::Sandbox &box) { return run_case(c, box); });
    ASSERT_TRUE(o.set_up) << o.error;
    std::string expected;
    for (const step &s : c.steps) {
      std::string exit = std::to_string(s.run.exit);
      for (int i = 1; i < s.run.at_once; ++i)
        exit += " " + std::to_string(s.run.exit);
      if (s.kind == 'R')
        expected += render(s.run, exit, s.run.expected, true);
    }
    EXPECT_EQ(expected, o.report) << c.file << ":" << c.line;
  }
  const test_case &c;
};

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  static std::deque<test_case> all;
  std::vector<std::filesystem::path> files;
  for (const auto &entry :
       std::filesystem::directory_iterator(CORVANE_CASES_DIR))
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
