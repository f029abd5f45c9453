// The error values that numeric code throws and the binding layer turns into
// Python exceptions at the edge of each bound callable. This header is free of
// Python so that every kernel can include it.
//
//   DomainError   -> ValueError     (bad values the caller can fix)
//   StateError    -> RuntimeError   (an operation asked in the wrong state)
//   InternalFault -> the internal-fault exception, with a report on stderr
//
// std::bad_alloc and std::length_error become MemoryError.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace pelmora {

class DomainError : public std::exception {
 public:
  explicit DomainError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  // The whole text, NULs included.
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

class StateError : public std::exception {
 public:
  explicit StateError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A broken invariant: something ordinary input is not meant to reach.
class InternalFault : public std::exception {
 public:
  InternalFault(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
  throw InternalFault(std::move(message), where);
}

// The bounds fault of reading index `index` of an empty or short vector.
[[noreturn]] void index_fault(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());

}  // namespace pelmora
