#include "gfcore/line_source.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace korvex {
namespace {

// Decoded data is appended to the line buffer in steps of at least this many bytes; a line longer
// than the buffer doubles it.
constexpr std::size_t kInitialBuffer = 256 * 1024;
constexpr std::size_t kMinRead = 32 * 1024;
// Compressed input is read through a buffer of this size.
constexpr std::size_t kGzipInput = 32 * 1024;
// Largest output room handed to one inflate call (zlib's counters are 32-bit).
constexpr std::size_t kMaxInflateStep = std::size_t{1} << 30;

}  // namespace

bool has_gz_extension(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && name.substr(dot + 1) == "gz";
}

// The multi-member gzip decoder. Held behind a pointer because zlib's state points back at the
// z_stream, which therefore must not move.
struct LineSource::GzipDecoder {
  z_stream zs{};
  bool initialised = false;
  bool in_member = false;  // inside a member whose end has not been decoded yet
  std::unique_ptr<char[]> input{new char[kGzipInput]};

  GzipDecoder() = default;
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;
  ~GzipDecoder() {
    if (initialised) inflateEnd(&zs);
  }
};

LineSource::LineSource(FileDescriptor fd, bool gzip) : fd_(std::move(fd)) {
  if (gzip) gzip_ = std::make_unique<GzipDecoder>();
}

LineSource::LineSource(LineSource&& other) noexcept
    : fd_(std::move(other.fd_)),
      gzip_(std::move(other.gzip_)),
      buf_(std::move(other.buf_)),
      cap_(std::exchange(other.cap_, 0)),
      begin_(std::exchange(other.begin_, 0)),
      scan_(std::exchange(other.scan_, 0)),
      end_(std::exchange(other.end_, 0)),
      eof_(other.eof_),
      lines_read_(other.lines_read_),
      failure_(std::move(other.failure_)) {}

LineSource& LineSource::operator=(LineSource&& other) noexcept {
  if (this != &other) {
    fd_ = std::move(other.fd_);
    gzip_ = std::move(other.gzip_);
    buf_ = std::move(other.buf_);
    cap_ = std::exchange(other.cap_, 0);
    begin_ = std::exchange(other.begin_, 0);
    scan_ = std::exchange(other.scan_, 0);
    end_ = std::exchange(other.end_, 0);
    eof_ = other.eof_;
    lines_read_ = other.lines_read_;
    failure_ = std::move(other.failure_);
  }
  return *this;
}

LineSource::~LineSource() = default;

Result<LineSource> open_lines(const std::string& path) {
  auto fd = open_read(path);
  if (!fd) return std::unexpected(fd.error());
  LineSource source(std::move(*fd), has_gz_extension(path));
  if (source.gzip_) {
    z_stream& zs = source.gzip_->zs;
    // 15 + 16: a 32 KiB window, gzip wrapper only.
    if (inflateInit2(&zs, 15 + 16) != Z_OK) {
      return operation_failed(zs.msg ? zs.msg : "cannot initialise the gzip decoder");
    }
    source.gzip_->initialised = true;
  }
  return source;
}

Result<bool> LineSource::fail_now(std::string message) {
  failure_ = ModuleError{ErrorKind::IoFailure, std::move(message)};
  return std::unexpected(*failure_);
}

bool LineSource::make_room() {
  if (!buf_) {
    buf_.reset(new (std::nothrow) char[kInitialBuffer]);
    if (!buf_) {
      failure_ = ModuleError{ErrorKind::IoFailure, "out of memory for the line buffer"};
      return false;
    }
    cap_ = kInitialBuffer;
    return true;
  }
  if (begin_ > 0) {
    // Keep only the unfinished line.
    const std::size_t live = end_ - begin_;
    if (live > 0) std::memmove(buf_.get(), buf_.get() + begin_, live);
    scan_ -= begin_;
    end_ = live;
    begin_ = 0;
  }
  if (cap_ - end_ >= kMinRead) return true;
  // The unfinished line fills the buffer: double it.
  const std::size_t new_cap = cap_ * 2;
  std::unique_ptr<char[]> bigger(new (std::nothrow) char[new_cap]);
  if (!bigger) {
    failure_ = ModuleError{ErrorKind::IoFailure,
                           "out of memory for a line longer than " + std::to_string(end_) + " bytes"};
    return false;
  }
  if (end_ > 0) std::memcpy(bigger.get(), buf_.get(), end_);
  buf_ = std::move(bigger);
  cap_ = new_cap;
  return true;
}

bool LineSource::fill() {
  if (!make_room()) return false;
  return gzip_ ? fill_gzip() : fill_plain();
}

bool LineSource::fill_plain() {
  const ssize_t got = read_some(fd_.get(), buf_.get() + end_, cap_ - end_);
  if (got < 0) {
    failure_ = ModuleError{ErrorKind::IoFailure, os_error_text(errno)};
    return false;
  }
  if (got == 0) eof_ = true;
  end_ += static_cast<std::size_t>(got);
  return true;
}

bool LineSource::fill_gzip() {
  GzipDecoder& d = *gzip_;
  z_stream& zs = d.zs;
  const std::size_t start = end_;
  // Loop until some output was produced or the input ended: a step may consume a member's header
  // or trailer without producing anything.
  while (end_ == start) {
    if (zs.avail_in == 0) {
      const ssize_t got = read_some(fd_.get(), d.input.get(), kGzipInput);
      if (got < 0) {
        failure_ = ModuleError{ErrorKind::IoFailure, os_error_text(errno)};
        return false;
      }
      if (got == 0) {
        if (d.in_member) {
          failure_ = ModuleError{ErrorKind::IoFailure, "unexpected end of gzip stream"};
          return false;
        }
        eof_ = true;  // the end of the file after a complete member (or an empty file)
        return true;
      }
      zs.next_in = reinterpret_cast<Bytef*>(d.input.get());
      zs.avail_in = static_cast<uInt>(got);
    }
    if (!d.in_member) {
      // Another member follows the previous one (bgzip blocks, concatenated files).
      if (inflateReset(&zs) != Z_OK) {
        failure_ = ModuleError{ErrorKind::IoFailure, "cannot reset the gzip decoder"};
        return false;
      }
      d.in_member = true;
    }
    // zlib counts output room in 32 bits: a buffer grown past 4 GiB for one long line offers at
    // most that much per step (an unclamped cast could wrap to 0 and stall the loop).
    const auto room = static_cast<uInt>(std::min<std::size_t>(cap_ - end_, kMaxInflateStep));
    zs.next_out = reinterpret_cast<Bytef*>(buf_.get() + end_);
    zs.avail_out = room;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    end_ += room - zs.avail_out;
    if (rc == Z_STREAM_END) {
      d.in_member = false;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      // Z_BUF_ERROR only means that more input is needed (the output never lacks room here).
      failure_ = ModuleError{ErrorKind::IoFailure, zs.msg ? zs.msg : zError(rc)};
      return false;
    }
  }
  return true;
}

Result<bool> LineSource::next_line(std::string_view& line) {
  if (failure_) return std::unexpected(*failure_);
  for (;;) {
    if (scan_ < end_) {
      const void* nl = std::memchr(buf_.get() + scan_, '\n', end_ - scan_);
      if (nl != nullptr) {
        const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(nl) - buf_.get()) + 1;
        line = std::string_view(buf_.get() + begin_, stop - begin_);
        begin_ = scan_ = stop;
        break;
      }
      scan_ = end_;
    }
    if (eof_) {
      if (begin_ == end_) return false;
      line = std::string_view(buf_.get() + begin_, end_ - begin_);  // last line without "\n"
      begin_ = scan_ = end_;
      break;
    }
    if (!fill()) return std::unexpected(*failure_);
  }
  ++lines_read_;
  if (!is_valid_utf8(line)) {
    return fail_now("invalid UTF-8 in line " + std::to_string(lines_read_));
  }
  return true;
}

}  // namespace korvex
