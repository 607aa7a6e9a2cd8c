#include "cell_parsers.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace annotrove::io {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view digits, unsigned base) {
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = base == 16 ? hex_value(c) : (is_digit(c) ? c - '0' : -1);
        if (digit < 0) {
            return std::nullopt;
        }
        // Leading zeros are allowed in any number, so overflow is judged on the value.
        if (value > (u64_max - static_cast<unsigned>(digit)) / base) {
            return std::nullopt;
        }
        value = value * base + static_cast<unsigned>(digit);
    }
    return value;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != lower_word[i]) {
            return false;
        }
    }
    return true;
}

// Powers of ten that a double holds exactly: with a mantissa below 2^53, one multiplication or
// division by one of them is a single correctly rounded operation (Clinger's fast path).
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t fast_path_mantissa_limit = std::uint64_t{1} << 53;
// Bounds the exponent so that adding digit counts to it can never overflow.
constexpr std::int64_t exponent_clamp = 1'000'000'000;

} // namespace

std::optional<std::uint64_t> parse_rank(std::string_view cell) {
    if (cell.starts_with("0x")) {
        return parse_unsigned(cell.substr(2), 16);
    }
    return parse_unsigned(cell, 10);
}

std::optional<bool> parse_bool(std::string_view cell) {
    if (cell == "true") {
        return true;
    }
    if (cell == "false") {
        return false;
    }
    return std::nullopt;
}

std::optional<double> parse_float(std::string_view cell) {
    const char *p = cell.data();
    const char *const end = p + cell.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char *const unsigned_start = p;
    if (p == end) {
        return std::nullopt;
    }
    if (!is_digit(*p) && *p != '.') {
        const std::string_view word(p, static_cast<std::size_t>(end - p));
        double magnitude;
        if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
            magnitude = std::numeric_limits<double>::infinity();
        } else if (equals_ignoring_case(word, "nan")) {
            magnitude = std::numeric_limits<double>::quiet_NaN();
        } else {
            return std::nullopt;
        }
        return negative ? -magnitude : magnitude;
    }

    // Syntax check and, on the way, the first 19 significant digits as an integer mantissa.
    std::uint64_t mantissa = 0;
    int kept_digits = 0;
    bool dropped_nonzero = false; // a significant digit beyond the 19 kept is not zero
    std::int64_t scale = 0;       // value = mantissa * 10^(scale + exponent), roughly
    std::int64_t leading_exponent = 0; // decimal exponent of the first significant digit
    bool seen_significant = false;
    bool any_digit = false;
    std::int64_t digits_after_point = -1; // -1 while no point has been seen
    for (; p < end; ++p) {
        const char c = *p;
        if (c == '.') {
            if (digits_after_point >= 0) {
                return std::nullopt;
            }
            digits_after_point = 0;
            continue;
        }
        if (!is_digit(c)) {
            break;
        }
        any_digit = true;
        if (digits_after_point >= 0) {
            ++digits_after_point;
        }
        if (!seen_significant && c == '0') {
            if (digits_after_point >= 0) {
                --leading_exponent;
                --scale;
            }
            continue;
        }
        if (!seen_significant) {
            seen_significant = true;
            if (digits_after_point >= 0) {
                --leading_exponent;
            }
        } else if (digits_after_point < 0) {
            ++leading_exponent;
        }
        if (kept_digits < 19) {
            mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
            ++kept_digits;
            if (digits_after_point >= 0) {
                --scale;
            }
        } else {
            dropped_nonzero = dropped_nonzero || c != '0';
            if (digits_after_point < 0) {
                ++scale;
            }
        }
    }
    if (!any_digit) {
        return std::nullopt;
    }
    std::int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            ++p;
        }
        if (p == end) {
            return std::nullopt;
        }
        for (; p < end && is_digit(*p); ++p) {
            if (exponent < exponent_clamp) {
                exponent = exponent * 10 + (*p - '0');
            }
        }
        if (exponent_negative) {
            exponent = -exponent;
        }
    }
    if (p != end) {
        return std::nullopt;
    }

    if (mantissa == 0) {
        return negative ? -0.0 : 0.0;
    }
    const std::int64_t power = scale + exponent;
    if (!dropped_nonzero && mantissa <= fast_path_mantissa_limit && power >= -22 && power <= 22) {
        const auto m = static_cast<double>(mantissa);
        const double magnitude = power >= 0 ? m * exact_powers_of_ten[power]
                                            : m / exact_powers_of_ten[-power];
        return negative ? -magnitude : magnitude;
    }

    // The text is known to be plain decimal syntax here, which from_chars reads correctly
    // rounded; it only refuses the leading "+" (skipped above) and leaves out-of-range values to
    // us. Such a value is nonzero, so the position of its first significant digit tells
    // overflow (at or above 10^308) from underflow (below 10^-323).
    double magnitude = 0.0;
    const auto [stop, error] = std::from_chars(unsigned_start, end, magnitude);
    if (stop != end) {
        return std::nullopt;
    }
    if (error == std::errc::result_out_of_range) {
        magnitude = leading_exponent + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (error != std::errc{}) {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

} // namespace annotrove::io
