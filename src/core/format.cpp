// Number formatting: shortest round-trip digits from std::to_chars, then the
// decimal point placed by hand so that no exponent ever shows.
#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "core/errors.hpp"

namespace pelmora {

namespace {

// NaN and the infinities print the same way in every format.
bool format_special(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

std::string format_double(double value) {
  std::string out;
  if (format_special(value, out)) return out;

  // Scientific form without a precision gives the shortest digits that read
  // back to the same double, e.g. "-1.152921504606847e+18" or "1e-07".
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc{}) fault("number formatting failed");

  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  std::string digits;
  while (p != end && *p != 'e') {
    if (*p != '.') digits.push_back(*p);
    ++p;
  }
  int exponent = 0;
  if (p != end) std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exponent);

  // The point sits after the first digit, moved by the exponent.
  const long point = 1L + exponent;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
}

std::string format_fixed(double value, int decimals) {
  std::string out;
  if (format_special(value, out)) return out;
  // Large enough for any finite double in fixed notation (309 integer digits).
  char buf[512];
  auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) fault("number formatting failed");
  return std::string(buf, end);
}

void index_fault(std::size_t len, std::size_t index, std::source_location where) {
  throw InternalFault("index out of bounds: the len is " + std::to_string(len) +
                          " but the index is " + std::to_string(index),
                      where);
}

}  // namespace pelmora
