#include "number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace annotrove {

namespace {

// The shortest round-trip digits of a finite, non-zero magnitude and the decimal exponent of the
// first one. std::to_chars in scientific form without a precision is required to give the
// fewest digits that read back to the same value, which is exactly what both renderings need.
struct ShortestDigits {
    std::string digits; // no leading or trailing zeros
    int exponent = 0;   // 1.5 -> 0, 120.0 -> 2, 0.00123 -> -3
};

ShortestDigits shortest_digits(double magnitude) {
    // Longest output: "1.7976931348623157e+308" (23 characters).
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude,
                                      std::chars_format::scientific);
    const std::string_view text(buffer.data(),
                                static_cast<std::size_t>(result.ptr - buffer.data()));

    const std::size_t e_pos = text.find('e');
    ShortestDigits out;
    for (const char c : text.substr(0, e_pos)) {
        if (c != '.') {
            out.digits.push_back(c);
        }
    }
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') {
        exponent_text.remove_prefix(1); // from_chars takes no leading '+'
    }
    [[maybe_unused]] const auto parsed = std::from_chars(
        exponent_text.data(), exponent_text.data() + exponent_text.size(), out.exponent);
    while (out.digits.size() > 1 && out.digits.back() == '0') {
        out.digits.pop_back();
    }
    return out;
}

// Digits placed around the decimal point without an exponent. The integer part is padded with
// zeros and a fraction is only written when there are digits for it.
std::string plain_notation(const ShortestDigits &d) {
    std::string out;
    if (d.exponent < 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
        return out;
    }
    const auto integer_digits = static_cast<std::size_t>(d.exponent) + 1;
    if (d.digits.size() <= integer_digits) {
        out = d.digits;
        out.append(integer_digits - d.digits.size(), '0');
    } else {
        out = d.digits.substr(0, integer_digits);
        out += '.';
        out += d.digits.substr(integer_digits);
    }
    return out;
}

} // namespace

std::string format_plain_shortest(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    std::string out = std::signbit(value) ? "-" : "";
    if (value == 0.0) {
        return out + "0";
    }
    return out + plain_notation(shortest_digits(std::fabs(value)));
}

std::string format_json_number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    std::string out = std::signbit(value) ? "-" : "";
    if (value == 0.0) {
        return out + "0.0";
    }
    const ShortestDigits d = shortest_digits(std::fabs(value));
    if (d.exponent >= -5 && d.exponent <= 15) {
        out += plain_notation(d);
        // Integral values keep a fractional part so that the text still reads as a float.
        if (d.exponent >= 0 && d.digits.size() <= static_cast<std::size_t>(d.exponent) + 1) {
            out += ".0";
        }
        return out;
    }
    out += d.digits.front();
    if (d.digits.size() > 1) {
        out += '.';
        out.append(d.digits, 1);
    }
    out += d.exponent < 0 ? "e-" : "e+";
    out += std::to_string(d.exponent < 0 ? -d.exponent : d.exponent);
    return out;
}

} // namespace annotrove
