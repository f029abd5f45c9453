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

// An error that carries its whole text, NULs included.
class MessageError : public std::exception {
 public:
  explicit MessageError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

class DomainError : public MessageError {
 public:
  using MessageError::MessageError;
};

class StateError : public MessageError {
 public:
  using MessageError::MessageError;
};

// A broken invariant: something ordinary input is not meant to reach.
class InternalFault : public MessageError {
 public:
  InternalFault(std::string message, std::source_location where)
      : MessageError(std::move(message)), where_(where) {}
  const std::source_location& where() const noexcept { return where_; }

 private:
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
