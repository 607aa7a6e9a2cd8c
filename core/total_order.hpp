// IEEE 754 totalOrder of 64-bit floats, used to sort confidences and compare coverages.
#pragma once

#include <bit>
#include <cstdint>

namespace annotrove {

// A signed integer key that orders doubles by totalOrder: negative values have their magnitude
// bits flipped so that more negative sorts lower; +0.0 ends up above -0.0, and NaNs at the ends
// by their sign bit.
inline std::int64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits < 0 ? bits ^ INT64_MAX : bits;
}

} // namespace annotrove
