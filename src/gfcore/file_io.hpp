// File helpers shared by the genotype readers: opening a file for reading, reading with retries,
// the operating system's error texts, and the UTF-8 check of text input.
//
// Errors carry the system's own text and never the file's path.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "module/error.hpp"

namespace korvex {

// The operating system's message for the error number `err` (e.g. "No such file or directory").
std::string os_error_text(int err);

// An OperationFailed error carrying os_error_text(err).
std::unexpected<ModuleError> os_failure(int err);

// Owner of one open file descriptor (-1 for none); closes it on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  void reset();

 private:
  int fd_;
};

// Opens `path` read-only (close-on-exec), retrying when a signal interrupts the call. Errors
// (OperationFailed): "file name contained an unexpected NUL byte" when the path holds a NUL (the
// system call would stop there and open another file than the one named), otherwise the system's
// text.
Result<FileDescriptor> open_read(const std::string& path);

// read(2) of up to `n` bytes that retries when a signal interrupts it. Returns the byte count
// (0 at the end of the file), or -1 with errno set.
ssize_t read_some(int fd, char* dst, std::size_t n);

// Size in bytes of the open file `fd`. Error: OperationFailed with the system's text.
Result<std::uint64_t> file_size(int fd);

// True when `text` is valid UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// sequence cut short. ASCII runs are checked 64 bytes at a time.
bool is_valid_utf8(std::string_view text);

}  // namespace korvex
