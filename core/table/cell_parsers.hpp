// Conversions of one table cell to a member's type. Each takes the whole cell and refuses any
// text it does not consume entirely; none allocates.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace annotrove::table {

// Decimal digits with an optional leading "+", or "0x", an optional "+" and hexadecimal digits of
// either case; the value must fit in 64 bits.
std::optional<std::uint64_t> parse_rank(std::string_view cell);

// Decimal floating point with optional sign, fraction and exponent, or inf / infinity / nan in
// any case with an optional sign. Correctly rounded; out-of-range magnitudes become infinity or
// zero of the right sign.
std::optional<double> parse_float(std::string_view cell);

// Whether parse_float accepts the cell, without computing the value: its syntax alone decides,
// since every cell of that syntax converts (out-of-range magnitudes included). For columns a call
// checks but does not use.
bool is_float(std::string_view cell);

// Exactly "true" or "false".
std::optional<bool> parse_bool(std::string_view cell);

} // namespace annotrove::table
