// Number formatting shared by every message the library builds. Free of
// Python so kernels can use it.
#pragma once

#include <cstdint>
#include <string>

namespace pelmora {

// The shortest decimal that reads back to the same double, written out in
// positional notation: no exponent, zeros padded as needed and no trailing
// ".0" (0.5, 2, 7200.25, 0.0000001, 1152921504606847000, -0). NaN prints as
// "NaN", infinities as "inf" and "-inf".
std::string format_double(double value);

// Exactly `decimals` digits after the point, correctly rounded ("0.2500").
// NaN and infinities print as in format_double.
std::string format_fixed(double value, int decimals);

inline std::string format_int(std::int64_t value) { return std::to_string(value); }

}  // namespace pelmora
