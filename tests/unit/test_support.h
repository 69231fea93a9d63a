// Helpers shared by the unit tests: scratch directories, the C heap texts
// the code under test returns, a log function that keeps its lines and a
// child's exit status.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/wait.h>

namespace ut {

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};
// A heap text returned by the code under test, released with free().
using c_text = std::unique_ptr<char, free_deleter>;

// Takes a heap text: its contents, or "<null>" for none.
inline std::string taken(char *text) {
  const std::string contents = text ? text : "<null>";
  std::free(text);
  return contents;
}

// A fresh directory, removed with everything in it when the owner goes.
class temp_dir {
public:
  temp_dir() { mkdtemp(path_.data()); }
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes the bytes exactly as given and returns the file's path.
  std::string write(const std::string &name, const std::string &bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
    return file(name);
  }

private:
  std::string path_ =
      (std::filesystem::temp_directory_path() / "corvane-ut-XXXXXX").string();
};

// The file's bytes; "" when it cannot be read.
inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A log line as "<priority> <text>", the form the tests compare.
inline std::string at(int priority, const std::string &text) {
  return std::to_string(priority) + " " + text;
}

// What capture_log was given, in order; a test clears it first.
inline std::vector<std::string> log_lines;

__attribute__((format(printf, 2, 3))) inline void
capture_log(int priority, const char *format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_lines.push_back(at(priority, text));
}

// The exit status of a child that exited; -1 otherwise.
inline int exit_status_of(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status)
             ? WEXITSTATUS(status)
             : -1;
}

} // namespace ut
