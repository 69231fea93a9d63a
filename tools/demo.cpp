// corvane-demo: judges the sample SMTP commands of a sample configuration
// with the real plug-in, inside the end-to-end sandbox, and shows for each
// command its facts, what qmail-spp receives and the syslog summary.
//
// Usage: corvane-demo PLUGIN SAMPLES_DIR
//   SAMPLES_DIR/etc/corvane/...  copied to /etc/corvane inside the sandbox
//   SAMPLES_DIR/commands         the commands (format in that file)

#include "rules/custom_notice.h"
#include "sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <syslog.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct sample_command {
  std::string name;
  std::vector<std::string> env;
  int notice_id = 0;
  std::string notice_text;
};

std::vector<sample_command> read_commands(const fs::path &file) {
  std::ifstream in(file);
  std::vector<sample_command> commands;
  sample_command current;
  std::string line;
  auto finish = [&] {
    if (!current.env.empty())
      commands.push_back(current);
    current = sample_command{};
  };
  while (std::getline(in, line)) {
    if (line.empty()) {
      finish();
    } else if (line.rfind("# ", 0) == 0) {
      current.name = line.substr(2);
    } else if (line.rfind("@notice ", 0) == 0) {
      std::istringstream words(line.substr(8));
      words >> current.notice_id;
      std::getline(words >> std::ws, current.notice_text);
    } else if (line.find('=') != std::string::npos) {
      current.env.push_back(line);
    }
  }
  finish();
  return commands;
}

std::string read_text(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Shows a notice line as written, with its line end made visible.
std::string visible(const std::string &out) {
  std::string shown;
  for (char c : out) {
    if (c == '\n')
      shown += "\\n\n      ";
    else if (c == '\r')
      shown += "\\r";
    else
      shown += c;
  }
  while (!shown.empty() && shown.back() == ' ')
    shown.pop_back();
  if (!shown.empty() && shown.back() == '\n')
    shown.pop_back();
  return shown.empty() ? "(nothing: the command may proceed)" : shown;
}

// Installs the sample configuration in `box` and judges every sample
// command; empty, or what went wrong.
std::string demo(sandbox::Sandbox &box, const std::string &plugin,
                 const fs::path &samples) {
  const fs::path config = samples / "etc" / "corvane";
  for (const auto &entry : fs::recursive_directory_iterator(config)) {
    if (!entry.is_regular_file())
      continue;
    std::string target =
        "/etc/corvane/" + fs::relative(entry.path(), config).string();
    if (!box.write_file(target, read_text(entry.path())))
      return "cannot write " + target;
    std::printf("config  %s\n", target.c_str());
  }

  int number = 0;
  for (const sample_command &command : read_commands(samples / "commands")) {
    std::printf("\n[%d] %s\n", ++number, command.name.c_str());
    if (command.notice_id > 0) {
      if (store_custom_notice(command.notice_id, command.notice_text.c_str()) !=
          1)
        return "cannot store a custom notice";
      std::printf("  custom notice %d: %s\n", command.notice_id,
                  command.notice_text.c_str());
    }
    for (const std::string &var : command.env)
      std::printf("  %s\n", var.c_str());
    sandbox::run_result r = box.run(plugin, {}, command.env);
    std::printf("  stdout: %s\n", visible(r.out).c_str());
    for (const sandbox::log_line &line : r.log)
      if (line.priority == LOG_INFO)
        std::printf("  syslog: %s\n", line.text.c_str());
    std::printf("  exit:   %d\n", r.exit_status);
  }
  std::printf("\n/var/log/corvane/ihlog:\n%s",
              box.read_file("/var/log/corvane/ihlog").c_str());
  return "";
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PLUGIN SAMPLES_DIR\n", argv[0]);
    return 2;
  }
  const std::string &why = sandbox::unavailable_reason();
  if (!why.empty()) {
    std::fprintf(stderr, "corvane-demo: cannot make a sandbox: %s\n",
                 why.c_str());
    return 1;
  }
  const sandbox::outcome done = sandbox::in_sandbox(
      [&](sandbox::Sandbox &box) { return demo(box, argv[1], argv[2]); });
  if (!done.set_up || !done.report.empty()) {
    std::fprintf(stderr, "corvane-demo: %s%s\n", done.error.c_str(),
                 done.report.c_str());
    return 1;
  }
  return 0;
}
