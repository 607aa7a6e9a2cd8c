// Decimal renderings of 64-bit floats shared by error messages and the policy file writer.
#pragma once

#include <string>

namespace annotrove {

// Shortest text that reads back to the same value, never in exponent form; integral values carry
// no fractional part (0.8, 1, 0.0000001). Non-finite values render as NaN, inf and -inf.
std::string format_plain_shortest(double value);

// JSON number of the policy file: shortest round-trip digits, plain notation with ".0" for
// integral values when the decimal exponent lies in [-5, 15], otherwise exponent form with an
// explicit sign (1e+16, 1e-6). Non-finite values render as null.
std::string format_json_number(double value);

} // namespace annotrove
