// The values of a series: a vector of its own, or doubles lent by an owner
// that never changes them (the bytes a pickle arrived in), kept alive by a
// type-erased keeper so that a load needs no copy. Either way they are
// read-only once the series exists; only a value being built writes, through
// vector(), which always holds a vector of its own.
//
// The keeper's deleter belongs to whoever lent the memory and may need the
// interpreter, so the last copy of a lent value must die where the lender
// can run: a kernel reads its inputs through a copy or a span only while the
// caller holds them, never as their last owner.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace pelmora {

class SeriesValues {
 public:
  using value_type = double;
  using const_iterator = std::span<const double>::iterator;
  using iterator = const_iterator;

  SeriesValues() = default;
  SeriesValues(std::vector<double> values) noexcept : owned_(std::move(values)) {}  // NOLINT: a vector is a value
  SeriesValues(std::initializer_list<double> values) : owned_(values) {}

  // `values`, which `keeper` keeps alive and unchanged.
  static SeriesValues lent(std::span<const double> values, std::shared_ptr<const void> keeper) noexcept {
    SeriesValues out;
    out.lent_ = values;
    out.keeper_ = std::move(keeper);
    return out;
  }

  bool is_lent() const noexcept { return keeper_ != nullptr; }
  std::span<const double> span() const noexcept { return keeper_ ? lent_ : std::span<const double>(owned_); }
  operator std::span<const double>() const noexcept { return span(); }  // NOLINT: read as a span anywhere

  std::size_t size() const noexcept { return span().size(); }
  bool empty() const noexcept { return size() == 0; }
  const double* data() const noexcept { return span().data(); }
  const double& operator[](std::size_t i) const noexcept { return span()[i]; }
  const double& front() const noexcept { return span().front(); }
  const double& back() const noexcept { return span().back(); }
  const_iterator begin() const noexcept { return span().begin(); }
  const_iterator end() const noexcept { return span().end(); }

  // The vector a value under construction writes; lent values are copied
  // into one first.
  std::vector<double>& vector() {
    if (keeper_) {
      owned_.assign(lent_.begin(), lent_.end());
      lent_ = {};
      keeper_.reset();
    }
    return owned_;
  }

  friend bool operator==(const SeriesValues& a, const SeriesValues& b) noexcept {
    return std::ranges::equal(a.span(), b.span());
  }

 private:
  std::vector<double> owned_;
  std::span<const double> lent_;
  std::shared_ptr<const void> keeper_;
};

}  // namespace pelmora
