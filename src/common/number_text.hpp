// Number text: integers in plain digits, reals as Python's repr(float) writes them.
#pragma once

#include <cstdint>
#include <string>

namespace hm {

// Shortest round-trip decimal form with Python's layout rules: fixed notation for
// decimal exponents -4 <= e < 16 (always with a fractional part, "10.0"), otherwise
// scientific with a signed two-digit exponent ("1e-05", "1.5e+16"); "nan", "inf", "-inf".
std::string real_text(double value);

// Python's format(value, ".Nf") (round-half-even on the exact binary value).
std::string fixed_text(double value, int decimals);

inline std::string int_text(std::int64_t value) { return std::to_string(value); }

}  // namespace hm
