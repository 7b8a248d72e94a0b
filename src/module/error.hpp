// Failures are values: every internal operation returns Result<T>; only the binding layer turns a
// ModuleError into a Python exception. This header is pure C++ so that every core can use it.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace korvex {

enum class ErrorKind {
  InvalidValue,     // raised as ValueError
  OperationFailed,  // raised as RuntimeError
  IoFailure,        // raised as OSError
  Fatal,            // a broken internal invariant: raised as the fatal-error type (a BaseException)
};

struct ModuleError {
  ErrorKind kind = ErrorKind::OperationFailed;
  std::string message;
};

template <class T>
using Result = std::expected<T, ModuleError>;

// Status of an operation that returns nothing on success.
using Status = std::expected<void, ModuleError>;

inline std::unexpected<ModuleError> fail(ErrorKind kind, std::string message) {
  return std::unexpected(ModuleError{kind, std::move(message)});
}
inline std::unexpected<ModuleError> operation_failed(std::string message) {
  return fail(ErrorKind::OperationFailed, std::move(message));
}
inline std::unexpected<ModuleError> invalid_value(std::string message) {
  return fail(ErrorKind::InvalidValue, std::move(message));
}
inline std::unexpected<ModuleError> io_failure(std::string message) {
  return fail(ErrorKind::IoFailure, std::move(message));
}
inline std::unexpected<ModuleError> fatal(std::string message) {
  return fail(ErrorKind::Fatal, std::move(message));
}

}  // namespace korvex
