// End-to-end cases as data. Each case of cases/*.cases is a test (suite: the
// file's name) run in a fresh sandbox; it passes when the transcript of what
// its runs did equals the one its expectations describe.
//
//   # a sentence that names the case          ## a comment
//   Set-up, in order, before and between runs:
//     env NAME=VALUE|-NAME|- ...   the plug-in's environment, at first an
//                                  accepted command; "-" empties it
//     file PATH [LINE]             a file of LINE or the indented lines below
//     data PATH TEXT               a file of TEXT exactly
//     rm PATH | lock PATH          a file removed; an flock held
//     custom ID [-N] [TEXT]        a custom notice segment made by hand:
//                                  TEXT's length, then TEXT (N bytes fewer);
//                                  no TEXT: none
//     map NAME [LINE]              /var/cache/ipr/NAME of the networks given
//     dns [NAME TYPE [VALUE]]      the test DNS server runs from the next run
//                                  on, with a record; it logs each query
//     fifo PATH | dir PATH         a FIFO, a directory in a file's place
//     link PATH TARGET             a symbolic link
//     mode PATH MODE               the file's permission bits
//     age PATH                     the file (or folder) last written long
//                                  ago, at one fixed time
//     poke PATH N|+N               the byte N from the end of the file
//                                  (+N: at offset N) inverted
//     flip ID                      a writer flipping the length header of
//                                  notice segment ID while the case runs
//     umask MODE | user UID        for the later runs (UID: the plug-in's)
//     watch PRI... [+WORD]...      for the later runs: the log priorities
//                                  compared (debug lines only with a WORD)
//     run [>PATH] spp|admin ARGS   a run (admin's environment is empty)
//     run *N spp|admin ARGS        N runs at once, "#" in ARGS their number;
//                                  only their exit statuses are compared
//     spp STATUS [mua=1] [ENV...]  env ENV..., run spp, its summary line
//     admin N ARGS | ERROR         run admin ARGS, exit N, its error line
//                                  (exit 2: then the usage)
//     try [ARGS]                   run admin try ARGS with the environment's
//                                  facts as options, as the plug-in's user:
//                                  its output ends in the last spp run's
//                                  summary (of an spp line), reply and
//                                  lines, it asks the DNS what that asked
//                                  and it writes no log or count
//   What the last run did, all of it (nothing given: nothing done):
//     exit N | > LINE | err LINE   exit status (else 0), stdout, stderr
//     notice REASON | PAGE         the six lines of the standard notice
//     log PRI TEXT                 a syslog line
//     query NAME TYPE              a DNS query
//     expect PATH [MODE]           the file, as the indented lines below
//     absent PATH                  no such file
//   "..." first or last among the >, err, log or file lines stands for any
//   lines there; " *N" ends a log, query or file line that comes N times.
//   Texts take \xHH, \{N*TEXT} (N times), $SITE, $BANNER, $TODAY, $MM/$M
//   (this month); 'quotes' keep blanks. Times and process ids in the output
//   read <time> and <pid>.
// GCC 12 at -O2 sees an uninitialized std::function inside <regex>'s
// automaton where there is none.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lookup/ipr_map_builder.h"
#include "rules/product.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

namespace {

using lines = std::vector<std::string>;
const char *const PRIORITY[] = {"emerg",   "alert",  "crit", "err",
                                "warning", "notice", "info", "debug"};
enum { OUT, ERR, LOG, QUERY, SECTIONS };
const char *const TAG[] = {"> ", "err ", "log ", "query "};

std::string expand(const std::string &in) {
  static const std::map<std::string, std::string> vars = [] {
    const time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char today[16], mm[4];
    strftime(today, sizeof today, "%Y-%m-%d", &t);
    strftime(mm, sizeof mm, "%m", &t);
    return std::map<std::string, std::string>{
        {"BANNER", CORVANE_BANNER},
        {"SITE", CORVANE_SITE},
        {"TODAY", today},
        {"MM", mm},
        {"M", std::to_string(t.tm_mon + 1)}};
  }();
  static const std::regex token(
      R"(\\x([0-9a-fA-F]{2})|\\\{(\d+)\*([^}]*)\}|\$(BANNER|SITE|TODAY|MM|M))");
  std::string out;
  auto last = in.begin();
  for (std::sregex_iterator m(in.begin(), in.end(), token), end; m != end;
       last = (*m++)[0].second) {
    out.append(last, (*m)[0].first);
    if ((*m)[1].matched)
      out += static_cast<char>(std::stoi((*m)[1], nullptr, 16));
    for (int n = (*m)[2].matched ? std::stoi((*m)[2]) : 0; n > 0; --n)
      out += expand((*m)[3]);
    out += (*m)[4].matched ? vars.at((*m)[4]) : "";
  }
  return out.append(last, in.end());
}

lines words_of(const std::string &text) {
  static const std::regex word("'([^']*)'|[^ ]+");
  lines words;
  for (std::sregex_iterator m(text.begin(), text.end(), word), end; m != end;
       ++m)
    words.push_back(expand((*m)[(*m)[1].matched ? 1 : 0]));
  return words;
}

lines lines_of(const std::string &text) {
  lines result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  if (!text.empty() && text.back() != '\n')
    result.back() += " (no newline at end)";
  return result;
}

// A line that ends in " *N" N times, else once.
lines repeated(std::string line) {
  std::smatch count;
  if (!std::regex_search(line, count, std::regex(" \\*(\\d+)$")))
    return {line};
  return lines(std::stoul(count[1]), line.substr(0, count.position(0)));
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

struct file_check {
  bool absent;
  std::string path, mode, content;
};

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

// Starts tests/dns/dns_server.py in the sandbox; true once it is ready.
bool start_dns_server(const lines &records) {
  std::string command = "exec /usr/bin/python3 " CORVANE_TEST_DNS_SERVER;
  for (const std::string &record : records)
    command += " '" + record + "'";
  FILE *said = popen(command.c_str(), "re"); // left open: it runs on
  char ready[8] = "";
  return said && fgets(ready, sizeof ready, said) &&
         ready == std::string("ready\n");
}

// A custom notice's segment: ["-N"] TEXT, N bytes short of its header.
bool make_segment(int notice_id, std::string text) {
  const key_t key = ftok("/bin/bash", notice_id);
  shmctl(shmget(key, 0, 0), IPC_RMID, nullptr); // in place of any before
  std::smatch cut;
  std::regex_search(text, cut, std::regex("^-(\\d+) "));
  const std::size_t short_by = cut.empty() ? 0 : std::stoul(cut[1]);
  text.erase(0, cut.length());
  const auto length = static_cast<uint32_t>(text.size());
  const int id =
      text.empty() ? -1 : shmget(key, 4 + length - short_by, IPC_CREAT | 0777);
  void *bytes = id < 0 ? nullptr : shmat(id, nullptr, 0);
  if (!bytes || bytes == reinterpret_cast<void *>(-1))
    return text.empty();
  std::memcpy(bytes, &length, 4);
  std::memcpy(static_cast<char *>(bytes) + 4, text.data(), length - short_by);
  return shmdt(bytes) == 0;
}

// A writer that, until the case ends, keeps rewriting the length header of
// the notice segment of `notice_id` between its true value and far more.
bool flip_header(int notice_id) {
  void *bytes = shmat(shmget(ftok("/bin/bash", notice_id), 0, 0), nullptr, 0);
  if (bytes == reinterpret_cast<void *>(-1))
    return false;
  const pid_t writer = fork();
  if (writer == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    auto *header = static_cast<volatile uint32_t *>(bytes);
    for (const uint32_t length = *header;;)
      *header = *header == length ? 0x7ffffff0u : length;
  }
  shmdt(bytes);
  return writer > 0;
}

// A case's lines, acted on in its sandbox: set-up at once, and what a run
// did against its expectations once the next set-up comes.
struct interpreter {
  sandbox::Sandbox &box;
  lines env = {"TCPREMOTEIP=192.0.2.10", "TCPREMOTEHOST=mail.example.net",
               "SMTPHELOHOST=mail.example.net",
               "SMTPMAILFROM=alice@example.net", "SMTPRCPTTO=bob@example.org"};
  lines words{}, records{}; // the debug lines kept; the DNS server's records
  unsigned watched = 0xff;  // a bit per priority
  mode_t umask = 022;
  bool dns = false, dns_started = false;
  std::vector<unique_fd> locks{};
  std::string pending{}, path{}, text{}; // a file or map given line by line
  std::string *content = nullptr;        // where the indented lines go
  // The last run: what it did, and what it should have.
  std::string title{}, exit_got{}, exit_want = "0";
  lines run_env{}, summary{}, spp_out{}, spp_queries{};
  std::string spp_summary{}; // of the last spp run, when known
  int at_once = 0;
  uid_t user = 0;
  std::array<lines, SECTIONS> got_s{}, want_s{};
  std::vector<file_check> checks{};
  std::string got{}, want{};

  void line(int number, const std::string &line_text) {
    if (line_text.rfind("  ", 0) == 0 && content) {
      for (const std::string &each : repeated(expand(line_text.substr(2))))
        *content += each + "\n";
      return;
    }
    content = nullptr;
    const std::size_t space = line_text.find(' ');
    const std::string word = line_text.substr(0, space),
                      rest = space == line_text.npos
                                 ? ""
                                 : line_text.substr(space + 1),
                      line = expand(rest),
                      after = expand(rest.substr(rest.find(' ') + 1));
    const lines w = words_of(rest);
    const bool mua = w.size() > 1 && w[1] == "mua=1", named = !w.empty(),
               expectation =
                   std::string(" exit > err notice log query expect absent ")
                       .find(" " + word + " ") != std::string::npos;
    if (!expectation) {
      set_up();
      finish();
    }
    bool done = !expectation || !title.empty();
    if (!done) {
    } else if (word == "env") {
      change_env(w);
    } else if ((word == "file" || word == "map") && named) {
      pending = word;
      path = w[0];
      text = w.size() > 1 ? after + "\n" : "";
      content = &text;
    } else if (word == "data" && named) {
      done = box.write_file(w[0], w.size() > 1 ? after : "");
    } else if (word == "rm" && named) {
      done = unlink(w[0].c_str()) == 0;
    } else if (word == "lock" && named) {
      locks.emplace_back(open(w[0].c_str(), O_RDONLY | O_CLOEXEC));
      done = flock(locks.back().get(), LOCK_EX | LOCK_NB) == 0;
    } else if (word == "custom" && named) {
      done = make_segment(std::stoi(w[0]), w.size() > 1 ? after : "");
    } else if (word == "dns" && !dns_started) {
      dns = true;
      if (!rest.empty())
        records.push_back(line);
    } else if ((word == "fifo" || word == "dir") && named) {
      std::filesystem::create_directories(
          std::filesystem::path(w[0]).parent_path());
      done = (word == "fifo" ? mkfifo(w[0].c_str(), 0644)
                             : mkdir(w[0].c_str(), 0755)) == 0;
    } else if (word == "link" && w.size() == 2) {
      std::filesystem::create_directories(
          std::filesystem::path(w[0]).parent_path());
      done = symlink(w[1].c_str(), w[0].c_str()) == 0;
    } else if (word == "age" && named) {
      // Always the same time, so that only the change time tells two
      // writes of a file apart.
      const struct timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
      done = utimensat(AT_FDCWD, w[0].c_str(), long_ago, 0) == 0;
    } else if (word == "mode" && w.size() == 2) {
      done = chmod(w[0].c_str(), std::stoi(w[1], nullptr, 8)) == 0;
    } else if (word == "poke" && w.size() == 2) {
      // The byte N from the end inverted, the file's times kept.
      struct stat st;
      char byte;
      const int fd = open(w[0].c_str(), O_RDWR);
      const off_t at = stat(w[0].c_str(), &st) != 0 ? -1
                       : w[1][0] == '+'             ? std::stoi(w[1].substr(1))
                                        : st.st_size - std::stoi(w[1]);
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      done = at >= 0 && pread(fd, &byte, 1, at) == 1 &&
             (byte = char(~byte), pwrite(fd, &byte, 1, at) == 1) &&
             futimens(fd, times) == 0;
      close(fd);
    } else if (word == "flip" && named) {
      done = flip_header(std::stoi(w[0]));
    } else if (word == "user" && w.size() == 1) {
      user = static_cast<uid_t>(std::stoi(w[0]));
    } else if (word == "umask" && w.size() == 1) {
      umask = static_cast<mode_t>(std::stoi(w[0], nullptr, 8));
    } else if (word == "watch") {
      watched = 0;
      for (unsigned p = 0; p < 8; ++p)
        if (std::find(w.begin(), w.end(), PRIORITY[p]) != w.end())
          watched |= 1u << p;
      words.clear();
      std::copy_if(w.begin(), w.end(), std::back_inserter(words),
                   [](const std::string &s) { return s[0] == '+'; });
    } else if (word == "run" && named) {
      run(w);
    } else if (word == "spp" && named) {
      change_env({w.begin() + 1 + mua, w.end()});
      run({"spp"});
      add_summary(w[0], mua);
      spp_summary = "info: " + summary.back().substr(5);
    } else if (word == "admin" && w.size() > 1 &&
               line.find(" | ") != line.npos) {
      const std::size_t bar = rest.find(" | ");
      lines args = words_of(rest.substr(0, bar));
      args[0] = "admin";
      run(args);
      exit_want = w[0];
      want_s[ERR] = {"corvane-admin: " + expand(rest.substr(bar + 3))};
      if (w[0] == "2")
        want_s[ERR].push_back("...");
    } else if (word == "try") {
      try_facts(w);
    } else if (word == "exit" && w.size() == 1) {
      exit_want = w[0];
    } else if (word == ">" || word == "err") {
      want_s[word == ">" ? OUT : ERR].push_back(line);
    } else if (word == "notice" && line.find(" | ") != line.npos) {
      const std::size_t bar = line.find(" | ");
      want_s[OUT].insert(
          want_s[OUT].end(),
          {"P550-Your message was rejected by this system and was not "
           "delivered.",
           "P550-Reason: " + line.substr(0, bar),
           "P550-Protection provided by: " CORVANE_BANNER,
           "P550-For more information, please visit the URL:",
           "P550-" CORVANE_SITE + line.substr(bar + 3),
           "E550 or contact your ISP or mail server operator."});
    } else if (word == "log" || word == "query") {
      for (const std::string &each : repeated(line))
        want_s[word == "log" ? LOG : QUERY].push_back(each);
    } else if ((word == "expect" || word == "absent") && named) {
      checks.push_back({word == "absent", w[0], w.size() > 1 ? w[1] : "", ""});
      content = &checks.back().content;
    } else {
      done = false;
    }
    if (!done)
      got += "line " + std::to_string(number) + " failed: " + line_text + "\n";
  }

  // The file or map given line by line, once its lines are in.
  void set_up() {
    const std::string map = "/var/cache/ipr/" + path;
    if ((pending == "file" && !box.write_file(path, text)) ||
        (pending == "map" &&
         (!box.write_file(map + ".networks", text) ||
          ipr_build_map((map + ".networks").c_str(), map.c_str(), nullptr, 0))))
      got += "set-up failed: " + pending + " " + path + "\n";
    pending.clear();
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

  void add_summary(const std::string &status, bool mua) {
    auto field = [&](const std::string &name) -> std::string {
      for (std::string var : run_env)
        if (var.rfind(name + "=", 0) == 0) {
          for (char &c : var) // the peer's control bytes are logged as '?'
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
              c = '?';
          return var.substr(name.size() + 1);
        }
      return "(null)";
    };
    summary.push_back(
        "info " + status + ": mua=" + (mua ? "1" : "0") + ",ip=[" +
        field("TCPREMOTEIP") + ":" + field("TCPREMOTEHOST") + "],helo=<" +
        field("SMTPHELOHOST") + ">,from=<" + field("SMTPMAILFROM") +
        ">,rcpt=<" + field("SMTPRCPTTO") + ">");
  }

  void try_facts(const lines &extra) {
    static const char *const options[][2] = {
        {"TCPREMOTEIP", "ip"},    {"TCPREMOTEHOST", "host"},
        {"SMTPHELOHOST", "helo"}, {"SMTPMAILFROM", "from"},
        {"SMTPRCPTTO", "rcpt"},   {"SMTPAUTHUSER", "auth"}};
    lines args = {"admin", "try", "--user", std::to_string(user)};
    for (const std::string &var : env) {
      const std::string name = var.substr(0, var.find('='));
      for (const auto &[variable, option] : options)
        if (name == variable)
          args.push_back(std::string("--") + option + var.substr(name.size()));
      if (name == "RELAYCLIENT")
        args.push_back("--relay");
    }
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string logs[] = {"/var/log/corvane/ihlog",
                                "/var/log/corvane/.counter.dat." +
                                    expand("$MM")};
    lines before;
    for (const std::string &log : logs)
      before.push_back(sandbox::Sandbox::read_file(log));
    const lines said = spp_out;
    run(args);
    for (int i : {0, 1})
      if (sandbox::Sandbox::read_file(logs[i]) != before[i])
        got += "try changed " + logs[i] + "\n";
    want_s[OUT] = {"..."};
    if (!spp_summary.empty())
      want_s[OUT].push_back(spp_summary);
    if (!said.empty())
      want_s[OUT].push_back("reply sent to the client:");
    for (const std::string &line : said)
      want_s[OUT].push_back("  " + line.substr(1));
    want_s[OUT].push_back(said.empty()
                              ? "verdict: accepted; corvane-spp writes nothing"
                              : "verdict: rejected; corvane-spp writes:");
    want_s[OUT].insert(want_s[OUT].end(), said.begin(), said.end());
    want_s[QUERY] = spp_queries;
  }

  void run(lines w) {
    if (dns && !dns_started && !(dns_started = start_dns_server(records)))
      got += "the test DNS server did not start\n";
    title = "run";
    for (const std::string &each : w)
      title += " " + each;
    at_once = w[0][0] == '*' ? std::stoi(w[0].substr(1)) : 0;
    const std::string out = w[0][0] == '>' ? w[0].substr(1) : "";
    if (at_once || !out.empty())
      w.erase(w.begin());
    const bool spp = !w.empty() && w[0] == "spp";
    const std::string program = spp ? CORVANE_SPP_PATH : CORVANE_ADMIN_PATH;
    run_env = spp ? env : lines{};
    if (w.empty() || (!spp && w[0] != "admin"))
      w = {"", "no such program"};
    box.umask = umask;
    box.uid = spp ? user : 0; // corvane-admin is run by root
    if (at_once) {            // each in a child of its own; "#" is its number
      box.timeout = std::chrono::seconds(600); // a guard against a hang only
      std::vector<pid_t> runs;
      for (int i = 1; i <= at_once; ++i)
        if ((runs.emplace_back(fork())) == 0) {
          for (std::string &arg : w)
            arg = std::regex_replace(arg, std::regex("#"), std::to_string(i));
          _exit(
              box.run(program, {w.begin() + 1, w.end()}, run_env).exit_status);
        }
      for (pid_t each : runs) {
        int status = -1;
        waitpid(each, &status, 0);
        exit_got +=
            (exit_got.empty() ? "" : " ") +
            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      }
      return;
    }
    const sandbox::run_result r =
        box.run(program, {w.begin() + 1, w.end()}, run_env,
                out.empty() ? nullptr : out.c_str());
    exit_got = r.timed_out     ? "timed out"
               : r.term_signal ? "signal " + std::to_string(r.term_signal)
                               : std::to_string(r.exit_status);
    got_s = {lines_of(mask(r.out)), lines_of(mask(r.err))};
    for (const sandbox::log_line &l : r.log) {
      const bool kept =
          std::any_of(words.begin(), words.end(), [&](const std::string &k) {
            return l.text.find(k.substr(1)) != std::string::npos;
          });
      if (l.ident == "dns-server")
        got_s[QUERY].push_back(l.text);
      else if (l.priority >= 0 && (watched >> l.priority & 1) &&
               (kept || words.empty() || l.priority != LOG_DEBUG))
        got_s[LOG].push_back(
            std::string(PRIORITY[l.priority]) + " " +
            (l.facility == LOG_MAIL && l.ident == "corvane-" + w[0]
                 ? ""
                 : "[not mail/" + l.ident + "] ") +
            mask(l.text));
    }
    if (spp)
      std::tie(spp_out, spp_queries, spp_summary) =
          std::tie(got_s[OUT], got_s[QUERY], "");
  }

  void finish() {
    if (title.empty())
      return;
    want_s[LOG].insert(want_s[LOG].end(), summary.begin(), summary.end());
    for (int i : {OUT, ERR, LOG})
      elide(got_s[i], want_s[i]);
    std::string exits = exit_want;
    for (int i = 1; i < at_once; ++i)
      exits += " " + exit_want;
    for (bool wanted : {true, false}) {
      std::string &t = wanted ? want : got;
      t += title + "\nexit " + (wanted ? exits : exit_got) + "\n";
      for (int i = 0; i < SECTIONS; ++i)
        for (const std::string &line : (wanted ? want_s : got_s)[i])
          t += TAG[i] + line + "\n";
      for (const file_check &check : checks)
        for (const std::string &line : file_lines(check, wanted))
          t += line + "\n";
    }
    title.clear();
    exit_got.clear();
    exit_want = "0";
    summary.clear();
    got_s = want_s = {};
    checks.clear();
  }
};

// "the rule's name" as "TheRulesName".
std::string camel(std::string text) {
  static const std::regex word("[A-Za-z0-9]+");
  text = std::regex_replace(text, std::regex("'"), "");
  std::string name;
  for (std::sregex_iterator m(text.begin(), text.end(), word), end; m != end;
       ++m)
    name += static_cast<char>(std::toupper(m->str()[0])) + m->str().substr(1);
  return name;
}

struct test_case {
  std::string suite, name, file;
  int line;
  std::vector<std::pair<int, std::string>> lines{};
};

// The transcripts wanted and found of a case run in a fresh sandbox.
std::pair<std::string, std::string> run_case(const test_case &c) {
  const sandbox::outcome o = sandbox::in_sandbox([&](sandbox::Sandbox &box) {
    interpreter run{box};
    for (const char *name : {"dyna", "spam"})
      box.write_file(std::string("/etc/corvane/dynaregex/") + name + ".regexes",
                     std::string("# ") + name + " patterns\n");
    for (const auto &[number, text] : c.lines)
      run.line(number, text);
    run.set_up();
    run.finish();
    return run.want + '\0' + run.got;
  });
  const std::size_t cut = o.report.find('\0');
  return {o.report.substr(0, cut),
          o.set_up ? o.report.substr(cut + 1) : o.error};
}

struct case_test : testing::Test {
  explicit case_test(const test_case &c) : c(c) {}
  void TestBody() override {
    if (!sandbox::unavailable_reason().empty())
      GTEST_SKIP() << "no sandbox here: " << sandbox::unavailable_reason();
    const auto [want, got] = run_case(c);
    EXPECT_EQ(want, got) << c.file << ":" << c.line;
  }
  const test_case &c;
};

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  static std::deque<test_case> all;
  const std::set<std::filesystem::path> files(
      std::filesystem::directory_iterator(CORVANE_CASES_DIR), {});
  for (const auto &path : files) {
    std::ifstream in(path);
    std::string text;
    for (int number = 1; path.extension() == ".cases" && std::getline(in, text);
         ++number)
      if (text.rfind("# ", 0) == 0)
        all.push_back({camel(path.stem().string()), camel(text.substr(2)),
                       path.string(), number});
      else if (!all.empty() && all.back().file == path.string() &&
               !text.empty() && text.rfind("##", 0) != 0)
        all.back().lines.emplace_back(number, text);
  }
  for (const test_case &c : all)
    testing::RegisterTest(
        c.suite.c_str(), c.name.c_str(), nullptr, nullptr, c.file.c_str(),
        c.line, [&c]() -> testing::Test * { return new case_test(c); });
  return RUN_ALL_TESTS();
}
