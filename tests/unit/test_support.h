// Helpers shared by the unit tests: scratch directories, file contents, the
// C heap texts the code under test returns, a log function that keeps its
// lines, an environment variable kept out of the way, and a fixture that
// moves the process into a private System V IPC namespace.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sched.h>

namespace ut {

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};
// A heap text returned by the code under test, released with free().
using c_text = std::unique_ptr<char, free_deleter>;

// Takes a heap text: its contents, or "<null>" for none.
inline std::string taken(char *text) {
  c_text owner(text);
  return text ? text : "<null>";
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the owner goes.
class temp_dir {
public:
  temp_dir() {
    std::string name =
        (std::filesystem::temp_directory_path() / "corvane-ut-XXXXXX").string();
    if (!mkdtemp(name.data()))
      throw std::runtime_error("mkdtemp failed");
    path_ = name;
  }
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string path() const { return path_.string(); }
  std::string file(const std::string &name) const {
    return (path_ / name).string();
  }
  // Writes the bytes exactly as given and returns the file's path.
  std::string write(const std::string &name, const std::string &bytes) const {
    std::string full = file(name);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    if (!(out << bytes))
      throw std::runtime_error("cannot write " + full);
    return full;
  }

private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A log line as "<priority> <text>", the form the tests compare.
inline std::string at(int priority, const std::string &text) {
  return std::to_string(priority) + " " + text;
}

// What capture_log was given, in order, as "<priority> <text>"; a test
// clears it first.
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

inline std::vector<std::string> captured() { return log_lines; }

// Keeps an environment variable unset for its lifetime, then puts back
// what was there.
class unset_env {
public:
  explicit unset_env(const char *name) : name_(name) {
    if (const char *value = std::getenv(name))
      saved_ = value;
    unsetenv(name);
  }
  unset_env(const unset_env &) = delete;
  unset_env &operator=(const unset_env &) = delete;
  ~unset_env() {
    if (saved_)
      setenv(name_.c_str(), saved_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Each test gets a new, empty IPC namespace, so that the shared-memory
// segments it makes or looks for are never the host's.
class private_ipc_test : public ::testing::Test {
protected:
  void SetUp() override {
    if (unshare(CLONE_NEWIPC) != 0)
      GTEST_SKIP() << "unshare(CLONE_NEWIPC) failed: " << std::strerror(errno);
  }
};

} // namespace ut
