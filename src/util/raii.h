// raii: small owners for the C resources the program takes.
//
// Every owner deletes copying, allows moving, releases its resource in the
// destructor and offers release() to hand ownership to C code. Public
// interfaces keep C shapes (heap texts freed with free(), plain descriptors);
// these owners live inside functions so that every early return releases
// what was taken.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex.h>
#include <sys/shm.h>
#include <unistd.h>
#include <utility>

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};

// A NUL-terminated heap text from malloc, released with free().
using heap_text = std::unique_ptr<char, free_deleter>;

struct file_closer {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

// A buffered stream, closed with fclose().
using unique_file = std::unique_ptr<std::FILE, file_closer>;

// A file descriptor; -1 stands for none.
class unique_fd {
public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
  unique_fd &operator=(unique_fd &&other) noexcept {
    reset(other.release());
    return *this;
  }
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

// A compiled POSIX regular expression; compile() reports regcomp's result.
class unique_regex {
public:
  unique_regex() = default;
  unique_regex(const unique_regex &) = delete;
  unique_regex &operator=(const unique_regex &) = delete;
  ~unique_regex() {
    if (compiled_)
      regfree(&re_);
  }

  [[nodiscard]] int compile(const char *pattern, int flags) {
    if (compiled_) {
      regfree(&re_);
      compiled_ = false;
    }
    int rc = regcomp(&re_, pattern, flags);
    compiled_ = rc == 0;
    return rc;
  }
  bool matches(const char *text) const {
    return compiled_ && regexec(&re_, text, 0, nullptr, 0) == 0;
  }
  const regex_t *get() const { return &re_; }

private:
  regex_t re_{};
  bool compiled_ = false;
};

// An attached System V shared-memory segment, detached on destruction.
class shm_attachment {
public:
  explicit shm_attachment(int shmid, int flags = 0)
      : addr_(shmat(shmid, nullptr, flags)) {}
  shm_attachment(const shm_attachment &) = delete;
  shm_attachment &operator=(const shm_attachment &) = delete;
  ~shm_attachment() {
    if (attached())
      shmdt(addr_);
  }

  bool attached() const { return addr_ != reinterpret_cast<void *>(-1); }
  void *get() const { return addr_; }

private:
  void *addr_;
};

// Runs a callable when the scope ends, unless dismissed.
template <typename F> class scope_exit {
public:
  explicit scope_exit(F f) : f_(std::move(f)) {}
  scope_exit(const scope_exit &) = delete;
  scope_exit &operator=(const scope_exit &) = delete;
  ~scope_exit() {
    if (armed_)
      f_();
  }
  void dismiss() { armed_ = false; }

private:
  F f_;
  bool armed_ = true;
};
