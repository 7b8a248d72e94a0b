// LineSource: a buffered reader of text lines over one file, plain or gzip-compressed.
//
// Every text input reads through this class: the VCF reader, conversion, merge and the GRM PCA, and
// the .fam and .bim tables of a PLINK fileset.
// It owns the one rule for trouble in the middle of the data: a read failure (an I/O error, a
// decompression error, a truncated gzip stream, a line that is not valid UTF-8) is never turned
// into an end of input. The failure is remembered, and from then on every call to next_line
// returns the same error, so no caller can mistake a damaged file for a shorter one. Callers choose
// the exception the error becomes (its kind is IoFailure; re-kind it with `with_kind`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gfcore/file_io.hpp"
#include "module/error.hpp"

namespace korvex {

class LineSource {
 public:
  LineSource(LineSource&&) noexcept;
  LineSource& operator=(LineSource&&) noexcept;
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;
  ~LineSource();

  // Reads the next line into `line`, including its "\n" (the last line of the input may lack it).
  // The view stays valid until the next call. Returns true for a line, false at the end of the
  // input, or the read failure (kind IoFailure, the error's own text, no path). A failure is
  // sticky: once reported, every later call reports it again.
  Result<bool> next_line(std::string_view& line);

  // The read failure, once one has happened.
  const std::optional<ModuleError>& failure() const { return failure_; }

  // Number of lines returned so far.
  std::uint64_t lines_read() const { return lines_read_; }

  bool compressed() const { return gzip_ != nullptr; }

  // Size in bytes of the file being read (the compressed size of a gzip file), for sizing tables
  // ahead of the read. Error: the system's text (OperationFailed).
  Result<std::uint64_t> file_bytes() const { return file_size(fd_.get()); }

 private:
  struct GzipDecoder;
  friend Result<LineSource> open_lines(const std::string& path);
  LineSource(FileDescriptor fd, bool gzip);

  // Appends more data to buf_[end_..). Returns false (with failure_ set) on a read failure; sets
  // eof_ when the input is exhausted.
  bool fill();
  bool fill_plain();
  bool fill_gzip();
  // Makes room after end_: moves the unconsumed bytes to the front, grows the buffer when full.
  bool make_room();
  Result<bool> fail_now(std::string message);

  FileDescriptor fd_;
  std::unique_ptr<GzipDecoder> gzip_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  std::size_t begin_ = 0;  // first unconsumed byte
  std::size_t scan_ = 0;   // bytes in [begin_, scan_) are known to hold no '\n'
  std::size_t end_ = 0;    // one past the last decoded byte
  bool eof_ = false;
  std::uint64_t lines_read_ = 0;
  std::optional<ModuleError> failure_;
};

// Opens `path` read-only (through open_read: a path with a NUL byte is refused). The file is read
// through a multi-member gzip decoder exactly when the extension of the path's last component (the
// text after its last ".") is "gz", lower case; anything else is read as plain text. Failure
// (OperationFailed): open_read's errors, or the decoder's when it cannot be set up.
Result<LineSource> open_lines(const std::string& path);

// True when `path`'s last component has the extension "gz" exactly.
bool has_gz_extension(std::string_view path);

// The same error with another kind (a read failure surfaces as OSError in one operation and as
// RuntimeError in another).
inline ModuleError with_kind(ModuleError error, ErrorKind kind) {
  error.kind = kind;
  return error;
}

}  // namespace korvex
