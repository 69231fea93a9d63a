// End-to-end cases as data. Every cases/*.cases file holds cases of the real
// programs; each case is its own test (suite: the file's name), run in a
// fresh sandbox, and passes when the transcript of what its runs did equals
// the one its expectations describe, line for line.
//
//   # a sentence that names the case (and, in CamelCase, the test)
//   ## a comment
//   Set-up, in order, before and between runs:
//     env NAME=VALUE|-NAME|- ...   the plug-in's environment: starts as an
//                                  accepted command; - empties it
//     file PATH [MODE]             a file of the indented lines below it
//     data PATH TEXT               a file of TEXT exactly (no newline added)
//     debug | rm PATH | lock PATH  debug on; a file removed; an flock held
//     custom ID [TEXT]             a custom notice stored (removed: no TEXT)
//     map NAME                     /var/cache/ipr/NAME built from the
//                                  networks below it
//     dns [NAME TYPE [VALUE]]      the test DNS server runs, with a record
//     umask MODE | watch PRI...    for later runs; watch: log priorities kept
//     run [>PATH] spp|admin ARGS   a run (admin with an empty environment)
//   What the last run must have done (all of it; nothing means nothing):
//     exit N | > LINE | err LINE   exit status (0 if not given), stdout, stderr
//     notice REASON | PAGE         the six lines of the standard notice
//     log PRI TEXT | summary STATUS [mua=1]    syslog lines, or the summary
//     query NAME TYPE              the DNS queries (when the server runs)
//     expect PATH [MODE] | absent PATH | counter HAM SPAM EXEMPT MODE
//   A log or query line ending in " *N" stands for N such lines; "..." as
//   the last of the >, err or log lines accepts anything from there on.
//   Words and texts take \xHH, \{N*TEXT} (TEXT N times), $SITE, $BANNER,
//   $TODAY, $MM/$M (this month) and $PREVMM/$PREVM; 'quotes' keep blanks.
//   Times and process ids in the output read <time> and <pid>.
#include "lookup/ipr_map_builder.h"
#include "rules/custom_notice.h"
#include "rules/product.h"
#include "sandbox.h"
#include "test_dns.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

namespace {

using lines = std::vector<std::string>;
const char *const PRIORITY[] = {"emerg",   "alert",  "crit", "err",
                                "warning", "notice", "info", "debug"};
enum { OUT, ERR, LOG, QUERY, FILES, SECTIONS };

struct file_check {
  char kind; // e expect (content, mode if given), a absent, c counter
  std::string path, mode, content;
};
struct run_step {
  std::string program, stdout_path;
  lines args, env;
  mode_t umask = 022;
  unsigned watched = 0xff; // bit per priority
  int exit = 0;
  std::array<lines, SECTIONS> expected; // FILES from the checks
  std::vector<file_check> checks;
};
struct step {
  char kind; // f file, r rm, c custom, m map, l lock, R run
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

std::string two_digits(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

const std::vector<std::pair<std::string, std::string>> &variables() {
  static const auto vars = [] {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char today[16];
    strftime(today, sizeof today, "%Y-%m-%d", &t);
    const int prev = t.tm_mon == 0 ? 12 : t.tm_mon;
    return std::vector<std::pair<std::string, std::string>>{
        {"$BANNER", CORVANE_BANNER}, {"$SITE", CORVANE_SITE},
        {"$TODAY", today},           {"$PREVMM", two_digits(prev)},
        {"$PREVM", std::to_string(prev)}, {"$MM", two_digits(t.tm_mon + 1)},
        {"$M", std::to_string(t.tm_mon + 1)}};
  }();
  return vars;
}

std::string expand(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    if (in.substr(i, 2) == "\\x" && i + 4 <= in.size()) {
      out += static_cast<char>(std::stoi(std::string(in.substr(i + 2, 2)), nullptr, 16));
      i += 4;
    } else if (in.substr(i, 2) == "\\{") {
      const std::size_t star = in.find('*', i), close = in.find('}', star);
      const std::string unit = expand(in.substr(star + 1, close - star - 1));
      for (int n = std::stoi(std::string(in.substr(i + 2, star - i - 2))); n > 0; --n)
        out += unit;
      i = close + 1;
    } else {
      std::size_t before = i;
      for (const auto &[name, value] : variables())
        if (i == before && in.substr(i, name.size()) == name) {
          out += value;
          i += name.size();
        }
      if (i == before)
        out += in[i++];
    }
  }
  return out;
}

lines words_of(std::string_view text) {
  lines words;
  std::string word;
  bool in_word = false, quoted = false;
  for (char c : text) {
    if (c == '\'') {
      quoted = !quoted;
      in_word = true;
    } else if (c == ' ' && !quoted) {
      if (in_word)
        words.push_back(expand(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word)
    words.push_back(expand(word));
  return words;
}

lines lines_of(const std::string &text) {
  lines result;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  if (start < text.size())
    result.push_back(text.substr(start) + " (no newline at end)");
  return result;
}

std::string mask(const std::string &text) {
  static const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
  static const std::regex pid("(corvane-[a-z]+)\\[[0-9]+\\]");
  return std::regex_replace(std::regex_replace(text, time, "<time>"), pid, "$1[<pid>]");
}

std::string get(const lines &env, const std::string &name) {
  for (const std::string &var : env)
    if (var.compare(0, name.size() + 1, name + "=") == 0)
      return var.substr(name.size() + 1);
  return "(null)";
}

std::string render(const run_step &r, const std::string &exit,
                   const std::array<lines, SECTIONS> &sections) {
  static const char *const tag[] = {"> ", "err ", "log ", "query ", ""};
  std::string t = "run " + r.program;
  for (const std::string &arg : r.args)
    t += " " + arg;
  t += "\nexit " + exit + "\n";
  for (int i = 0; i < SECTIONS; ++i)
    for (const std::string &line : sections[i])
      t += tag[i] + line + "\n";
  return t;
}

// ---- reading the case files ------------------------------------------------

const lines ACCEPTED_COMMAND = {
    "TCPREMOTEIP=192.0.2.10", "TCPREMOTEHOST=mail.example.net",
    "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=alice@example.net",
    "SMTPRCPTTO=bob@example.org"};

std::string camel(const std::string &text) {
  std::string name;
  bool start = true;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c))) {
      start = c == ' ' || c == '_' || start;
      continue;
    }
    name += start ? static_cast<char>(std::toupper(c)) : c;
    start = false;
  }
  return name;
}

// One directive of a case; false with c.error set when it is none.
bool directive(test_case &c, const std::string &word, const std::string &rest,
               lines &env, mode_t &umask, unsigned &watched, std::string *&content) {
  run_step *r = !c.steps.empty() && c.steps.back().kind == 'R' ? &c.steps.back().run : nullptr;
  lines w = words_of(rest);
  auto add = [&](char kind, std::string path, std::string text = "") -> step & {
    c.steps.push_back({kind, std::move(path), std::move(text), 0644, {}});
    content = &c.steps.back().text;
    return c.steps.back();
  };
  if (word == "env") {
    for (const std::string &var : w) {
      const std::string name = var.substr(0, var.find('=')) + "=";
      std::erase_if(env, [&](const std::string &v) {
        return var == "-" || v.compare(0, name.size(), var[0] == '-' ? var.substr(1) + "=" : name) == 0;
      });
      if (var[0] != '-')
        env.push_back(var);
    }
  } else if (word == "file" && !w.empty()) {
    add('f', w[0]).mode = w.size() > 1 ? std::stoi(w[1], nullptr, 8) : 0644;
  } else if (word == "data" && !rest.empty()) {
    add('f', rest.substr(0, rest.find(' ')), expand(rest.substr(rest.find(' ') + 1)));
  } else if (word == "debug") {
    add('f', "/etc/corvane/control/debug", "true\n");
  } else if ((word == "rm" || word == "lock" || word == "map") && w.size() == 1) {
    add(word[0] == 'r' ? 'r' : word[0], w[0]);
  } else if (word == "custom" && !w.empty()) {
    add('c', w[0], rest.find(' ') == std::string::npos ? "" : expand(rest.substr(rest.find(' ') + 1)));
  } else if (word == "dns") {
    c.dns = true;
    if (!rest.empty())
      c.records.push_back(expand(rest));
  } else if (word == "umask" && w.size() == 1) {
    umask = static_cast<mode_t>(std::stoi(w[0], nullptr, 8));
  } else if (word == "watch") {
    watched = 0;
    for (int p = 0; p < 8; ++p)
      watched |= std::find(w.begin(), w.end(), PRIORITY[p]) != w.end() ? 1u << p : 0;
  } else if (word == "run" && !w.empty()) {
    step &s = add('R', "");
    s.run.stdout_path = w[0][0] == '>' ? w[0].substr(1) : "";
    if (!s.run.stdout_path.empty())
      w.erase(w.begin());
    s.run.program = w.empty() ? "" : w[0];
    s.run.args.assign(w.begin() + (w.empty() ? 0 : 1), w.end());
    s.run.env = s.run.program == "spp" ? env : lines{};
    s.run.umask = umask;
    s.run.watched = watched;
    content = nullptr;
    if (s.run.program != "spp" && s.run.program != "admin")
      c.error = "run what? " + rest;
  } else if (!r) {
    c.error = "'" + word + "' before any run, or no such directive";
  } else if (word == "exit" && w.size() == 1) {
    r->exit = std::stoi(w[0]);
  } else if (word == ">" || word == "err") {
    r->expected[word == ">" ? OUT : ERR].push_back(expand(rest));
  } else if (word == "notice" && rest.find(" | ") != std::string::npos) {
    const std::string reason = expand(rest.substr(0, rest.find(" | ")));
    for (const std::string &line : lines{
             "P550-Your message was rejected by this system and was not delivered.",
          "P550-Reason: " + reason, std::string("P550-Protection provided by: ") + CORVANE_BANNER,
          std::string("P550-For more information, please visit the URL:"),
          "P550-" CORVANE_SITE + expand(rest.substr(rest.find(" | ") + 3)),
          std::string("E550 or contact your ISP or mail server operator.")})
      r->expected[OUT].push_back(line);
  } else if (word == "log" || word == "query" || word == "summary") {
    std::string text = expand(rest);
    int times = 1;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(" \\*([0-9]+)$"))) {
      times = std::stoi(m[1]);
      text.resize(text.size() - m.length(0));
    }
    if (word == "summary")
      text = "info " + w[0] + ": mua=" + (w.size() > 1 && w[1] == "mua=1" ? "1" : "0") +
             ",ip=[" + get(r->env, "TCPREMOTEIP") + ":" + get(r->env, "TCPREMOTEHOST") +
             "],helo=<" + get(r->env, "SMTPHELOHOST") + ">,from=<" + get(r->env, "SMTPMAILFROM") +
             ">,rcpt=<" + get(r->env, "SMTPRCPTTO") + ">";
    r->expected[word == "query" ? QUERY : LOG].insert(r->expected[word == "query" ? QUERY : LOG].end(),
                                                      times, text);
  } else if ((word == "expect" || word == "absent" || word == "counter") && !w.empty()) {
    r->checks.push_back({word[0], w[0], w.size() > 1 ? w[1] : "", ""});
    if (word == "counter")
      r->checks.back().path = rest;
    content = &r->checks.back().content;
  } else {
    c.error = "no such directive: " + word + " " + rest;
  }
  return c.error.empty();
}

std::deque<test_case> read_cases(const std::filesystem::path &file) {
  std::deque<test_case> cases;
  std::ifstream in(file);
  std::string line, suite = camel(file.stem().string());
  lines env;
  mode_t umask = 022;
  unsigned watched = 0xff;
  std::string *content = nullptr;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.rfind("# ", 0) == 0) {
      cases.push_back({suite, camel(line.substr(2)), file.string(), "", number, false, {}, {}});
      env = ACCEPTED_COMMAND;
      umask = 022;
      watched = 0xff;
      content = nullptr;
    } else if (line.empty() || line.rfind("##", 0) == 0) {
    } else if (cases.empty() || !cases.back().error.empty()) {
      if (cases.empty())
        cases.push_back({suite, "FileStartsWithACase", file.string(), "no '# ' line first", number, false, {}, {}});
    } else if (line.rfind("  ", 0) == 0 && content) {
      *content += expand(line.substr(2)) + "\n";
    } else {
      const std::size_t space = line.find(' ');
      content = nullptr;
      if (!directive(cases.back(), line.substr(0, space),
                     space == std::string::npos ? "" : line.substr(space + 1), env, umask,
                     watched, content))
        cases.back().line = number;
    }
  }
  return cases;
}

// ---- running a case, inside its sandbox ------------------------------------

// The month's counter file, which must hold today's counts and nothing else.
lines count_file() {
  struct stat st;
  time_t now = time(nullptr);
  struct tm t, midnight {};
  localtime_r(&now, &t);
  midnight.tm_mday = t.tm_mday;
  midnight.tm_mon = t.tm_mon;
  midnight.tm_year = t.tm_year;
  const std::string path = "/var/log/corvane/.counter.dat." + two_digits(t.tm_mon + 1);
  std::string data = sandbox::Sandbox::read_file(path);
  if (data.size() != 500 || stat(path.c_str(), &st) != 0)
    return {"counter file " + path + " of " + std::to_string(data.size()) + " bytes"};
  uint32_t day[4];
  std::memcpy(day, data.data() + 4 + 16 * (t.tm_mday - 1), sizeof day);
  data.replace(4 + 16 * (t.tm_mday - 1), 16, 16, '\0');
  char text[96];
  std::snprintf(text, sizeof text, "counter %u %u %u %04o%s%s", day[1], day[2], day[3],
                st.st_mode & 07777, day[0] == static_cast<uint32_t>(mktime(&midnight)) ? "" : " (not today)",
                data == std::string(500, '\0') ? "" : " (other days set)");
  return {text};
}

// What the check finds; as the expectation reads when it holds.
lines check_file(const file_check &check, bool expected) {
  struct stat st {};
  const std::string &path = check.path;
  lines out;
  if (check.kind == 'a')
    out = {(expected || stat(path.c_str(), &st) != 0 ? "absent " : "present ") + path};
  else if (check.kind == 'c' && expected)
    out = {"counter " + path};
  if (check.kind != 'e')
    return check.kind == 'c' && !expected ? count_file() : out;
  if (!expected && stat(path.c_str(), &st) != 0)
    return {"missing " + path};
  char mode[8];
  std::snprintf(mode, sizeof mode, " %04o", st.st_mode & 07777);
  out = {"expect " + path + (check.mode.empty() ? "" : expected ? " " + check.mode : mode)};
  for (const std::string &l :
       lines_of(expected ? check.content : mask(sandbox::Sandbox::read_file(path))))
    out.push_back("  " + l);
  return out;
}

std::string observe(const run_step &r, sandbox::Sandbox &box, test_dns::server *dns) {
  const std::string path = r.program == "spp" ? CORVANE_SPP_PATH : CORVANE_ADMIN_PATH;
  sandbox::run_result got = box.run(path, r.args, r.env, r.stdout_path.empty() ? nullptr : r.stdout_path.c_str());
  std::array<lines, SECTIONS> s = {lines_of(mask(got.out)), lines_of(mask(got.err))};
  for (const sandbox::log_line &l : got.log)
    if (l.priority >= 0 && (r.watched >> l.priority & 1))
      s[LOG].push_back(std::string(PRIORITY[l.priority]) + " " +
                       (l.facility == LOG_MAIL && l.ident == "corvane-" + r.program ? "" : "[not mail/" + l.ident + "] ") +
                       mask(l.text));
  for (int i : {OUT, ERR, LOG}) {
    const lines &want = r.expected[i];
    if (!want.empty() && want.back() == "..." && s[i].size() >= want.size() - 1) {
      s[i].resize(want.size() - 1);
      s[i].push_back("...");
    }
  }
  if (dns)
    s[QUERY] = dns->queries();
  for (const file_check &check : r.checks)
    for (const std::string &l : check_file(check, false))
      s[FILES].push_back(l);
  std::string exit = got.timed_out ? "timed out after " + std::to_string(box.timeout.count()) + " ms"
                     : got.wrapper_failed ? "wrapper error"
                     : got.term_signal ? "signal " + std::to_string(got.term_signal)
                                       : std::to_string(got.exit_status);
  return render(r, exit, s);
}

std::string run_case(const test_case &c, sandbox::Sandbox &box) {
  std::string transcript;
  auto fail = [&](const std::string &what) { transcript += "set-up failed: " + what + "\n"; };
  for (const char *name : {"dyna", "spam"})
    if (!box.write_file(std::string("/etc/corvane/dynaregex/") + name + ".regexes",
                        std::string("# ") + name + " patterns\n"))
      fail("pattern files");
  std::unique_ptr<test_dns::server> dns;
  if (c.dns && !(dns = std::make_unique<test_dns::server>(c.records))->error().empty())
    return dns->error();
  std::vector<unique_fd> locks;
  for (const step &s : c.steps) {
    if (s.kind == 'f' && !box.write_file(s.path, s.text, s.mode))
      fail("write " + s.path);
    if (s.kind == 'r' && unlink(s.path.c_str()) != 0)
      fail("rm " + s.path);
    if (s.kind == 'c' && store_custom_notice(std::stoi(s.path), s.text.c_str()) != 1)
      fail("custom notice " + s.path);
    char error[256] = "";
    const std::string networks = "/var/cache/ipr/sources/" + s.path;
    if (s.kind == 'm' && (!box.write_file(networks, s.text) ||
                          ipr_build_map(networks.c_str(), ("/var/cache/ipr/" + s.path).c_str(), error,
                                        sizeof error) != 0))
      fail("map " + s.path + ": " + error);
    if (s.kind == 'l') {
      locks.emplace_back(open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!locks.back() || flock(locks.back().get(), LOCK_EX | LOCK_NB) != 0)
        fail("lock " + s.path);
    }
    if (s.kind == 'R')
      transcript += observe(s.run, box, dns.get());
  }
  return transcript;
}

std::string expected_transcript(const test_case &c) {
  std::string t;
  for (const step &s : c.steps)
    if (s.kind == 'R') {
      std::array<lines, SECTIONS> sections = s.run.expected;
      for (const file_check &check : s.run.checks)
        for (const std::string &l : check_file(check, true))
          sections[FILES].push_back(l);
      t += render(s.run, std::to_string(s.run.exit), sections);
    }
  return t;
}

class case_test : public testing::Test {
public:
  explicit case_test(const test_case &c) : c_(c) {}
  void TestBody() override {
    ASSERT_EQ(c_.error, "") << c_.file << ":" << c_.line;
    if (!sandbox::unavailable_reason().empty())
      GTEST_SKIP() << "no sandbox here: " << sandbox::unavailable_reason();
    const sandbox::outcome o =
        sandbox::in_sandbox([this](sandbox::Sandbox &box) { return run_case(c_, box); });
    ASSERT_TRUE(o.set_up) << o.error;
    EXPECT_EQ(expected_transcript(c_), o.report) << c_.file << ":" << c_.line;
  }

private:
  const test_case &c_;
};

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  static std::deque<test_case> all;
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(CORVANE_CASES_DIR))
    if (entry.path().extension() == ".cases")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto &file : files)
    for (test_case &c : read_cases(file))
      all.push_back(std::move(c));
  for (const test_case &c : all)
    testing::RegisterTest(c.suite.c_str(), c.name.c_str(), nullptr, nullptr, c.file.c_str(), c.line,
                          [&c]() -> testing::Test * { return new case_test(c); });
  return RUN_ALL_TESTS();
}
