// Helpers shared by the unit tests: scratch directories, file contents,
// owners for the C heap texts the code under test returns, and a fixture
// that moves the process into a private System V IPC namespace.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sched.h>
#include <stdexcept>
#include <string>

namespace ut {

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};
// A heap text returned by the code under test, released with free().
using c_text = std::unique_ptr<char, free_deleter>;

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
    out << bytes;
    if (!out)
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
