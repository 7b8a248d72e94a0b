#include "gfcore/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <emmintrin.h>

#include <cerrno>
#include <cstring>

namespace korvex {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the message pointer (which may or may not be buf).
  return std::string(strerror_r(err, buf, sizeof buf));
}

std::unexpected<ModuleError> os_failure(int err) { return operation_failed(os_error_text(err)); }

void FileDescriptor::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<FileDescriptor> open_read(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return operation_failed("file name contained an unexpected NUL byte");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_failure(errno);
  return FileDescriptor(fd);
}

ssize_t read_some(int fd, char* dst, std::size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, dst, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

Result<std::uint64_t> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return os_failure(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

namespace {

// Validates the multi-byte sequence at p (a byte >= 0x80) within [p, end). Returns the number of
// bytes it takes, or 0 when it is invalid.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned c = p[0];
  const std::size_t left = static_cast<std::size_t>(end - p);
  auto cont = [](unsigned b) { return (b & 0xC0u) == 0x80u; };
  if (c >= 0xC2 && c <= 0xDF) {
    return left >= 2 && cont(p[1]) ? 2 : 0;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !cont(p[1]) || !cont(p[2])) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (c == 0xED && p[1] >= 0xA0) return 0;  // UTF-16 surrogates
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !cont(p[1]) || !cont(p[2]) || !cont(p[3])) return 0;
    if (c == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (c == 0xF4 && p[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;  // stray continuation byte, 0xC0/0xC1, or 0xF5..0xFF
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  while (p < end) {
    // ASCII fast path: 64 bytes per step (SSE2, part of x86-64) while no byte has its top bit set.
    while (end - p >= 64) {
      const auto* v = reinterpret_cast<const __m128i*>(p);
      const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                       _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
      if (_mm_movemask_epi8(any) != 0) break;
      p += 64;
    }
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & kHigh) != 0) break;
      p += 8;
    }
    // Byte by byte up to and through the next non-ASCII sequence.
    const auto* stop = end - p > 8 ? p + 8 : end;
    while (p < stop) {
      if (*p < 0x80) {
        ++p;
        continue;
      }
      const std::size_t len = utf8_sequence(p, end);
      if (len == 0) return false;
      p += len;
      stop = end - p > 8 ? p + 8 : end;
    }
  }
  return true;
}

}  // namespace korvex
