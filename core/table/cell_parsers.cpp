#include "cell_parsers.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace annotrove::table {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

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

// The base is a template argument so that the overflow test divides by a constant, which the
// compiler turns into a multiplication; a run-time divisor cost a division per digit.
template <unsigned base> std::optional<std::uint64_t> parse_unsigned(std::string_view digits) {
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

// Digit runs are handled eight bytes at a time: a table of 17-digit probabilities spends most of
// its float time walking digits otherwise.
constexpr bool swar_digits = std::endian::native == std::endian::little;

std::uint64_t load8(const char *p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Every byte is '0'..'9': the high nibble is 3 and adding 6 does not carry out of the low one.
bool all_digits(std::uint64_t word) {
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ULL;
    return ((word & high_nibbles) | (((word + 0x0606060606060606ULL) & high_nibbles) >> 4)) ==
           0x3333333333333333ULL;
}

// The value of eight digit bytes, the first one most significant: pairs, then quads, then all.
std::uint64_t eight_digits_value(std::uint64_t word) {
    word = ((word & 0x0F0F0F0F0F0F0F0FULL) * (10 * 256 + 1)) >> 8;
    word = ((word & 0x00FF00FF00FF00FFULL) * (100 * 65536 + 1)) >> 16;
    return ((word & 0x0000FFFF0000FFFFULL) * (10000 * 4294967296ULL + 1)) >> 32;
}

const char *skip_digits(const char *p, const char *end) {
    if constexpr (swar_digits) {
        while (end - p >= 8 && all_digits(load8(p))) {
            p += 8;
        }
    }
    while (p < end && is_digit(*p)) {
        ++p;
    }
    return p;
}

// Appends the digits of [p, end) to value; the caller keeps the result within 64 bits.
std::uint64_t accumulate_digits(std::uint64_t value, const char *p, const char *end) {
    if constexpr (swar_digits) {
        for (; end - p >= 8; p += 8) {
            value = value * 100'000'000 + eight_digits_value(load8(p));
        }
    }
    for (; p < end; ++p) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    return value;
}

// Powers of ten that a double holds exactly: with a mantissa below 2^53, one multiplication or
// division by one of them is a single correctly rounded operation (Clinger's fast path).
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t integer_powers_of_ten[] = {1,     10,     100,     1000,
                                                   10000, 100000, 1000000, 10000000};
constexpr std::uint64_t fast_path_mantissa_limit = std::uint64_t{1} << 53;
// Bounds the exponent so that adding digit counts to it can never overflow.
constexpr std::int64_t exponent_clamp = 1'000'000'000;

#if defined(__SIZEOF_INT128__)
// Mantissas of 16 to 19 digits (repr() of a double has up to 17) are too wide for Clinger's fast
// path but fit 64 bits. With 10^q = 5^q * 2^q and 5^22 < 2^52, mantissa * 5^q or
// mantissa * 2^128 / 5^q is computed exactly in 128 bits (the remainder kept as a sticky bit), so
// rounding its top 53 bits to nearest-even is exact; the factor 2^q is exact too.
__extension__ using uint128 = unsigned __int128;

constexpr std::array<std::uint64_t, 23> powers_of_five = [] {
    std::array<std::uint64_t, 23> powers{};
    std::uint64_t power = 1;
    for (std::uint64_t &entry : powers) {
        entry = power;
        power *= 5;
    }
    return powers;
}();

int bit_length(uint128 value) {
    const auto high = static_cast<std::uint64_t>(value >> 64);
    return high != 0 ? 128 - std::countl_zero(high)
                     : 64 - std::countl_zero(static_cast<std::uint64_t>(value));
}

// value * 2^exponent rounded to the nearest double, ties to even; `sticky` says that nonzero
// bits lie below `value`. Callers keep the result a normal number.
double round_scaled(uint128 value, bool sticky, int exponent) {
    const int shift = bit_length(value) - 53;
    auto mantissa = static_cast<std::uint64_t>(value >> shift);
    const uint128 rest = value & ((uint128{1} << shift) - 1);
    const uint128 half = uint128{1} << (shift - 1);
    if (rest > half || (rest == half && (sticky || (mantissa & 1) != 0))) {
        ++mantissa; // may carry to 2^53, which is still exact
    }
    return std::ldexp(static_cast<double>(mantissa), shift + exponent);
}

// mantissa * 10^power for a mantissa above 2^53 and |power| <= 22.
double scale_wide_mantissa(std::uint64_t mantissa, int power) {
    if (power >= 0) {
        return round_scaled(uint128{mantissa} * powers_of_five[power], false, power);
    }
    const std::uint64_t divisor = powers_of_five[-power];
    const uint128 dividend = uint128{mantissa} << 64;
    return round_scaled(dividend / divisor, dividend % divisor != 0, power - 64);
}
#endif

// The shape of nearly every cell in practice, read in one pass: digits, optionally a point and
// more digits, at most 19 digits in all and no exponent, so the digits fit 64 bits as they are
// read. Nothing when the cell has another shape; the general reader then decides.
// `cell_begin` is where the whole cell starts: the bytes from there to `end` may all be read.
// `exponent` is that of a short exponent the caller found after `end` (zero when none); a scale
// outside the exact powers of ten is left to the general reader too.
std::optional<double> parse_plain_decimal(const char *cell_begin, const char *p, const char *end,
                                          int exponent) {
    const char *const begin = p;
    std::uint64_t mantissa = 0;
    if constexpr (swar_digits) {
        if (end - p >= 8 && all_digits(load8(p))) {
            mantissa = eight_digits_value(load8(p));
            p += 8;
        }
    }
    for (; p < end && is_digit(*p); ++p) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        if (p - begin == 18) {
            return std::nullopt; // a 20th digit could follow: too long for this path
        }
    }
    std::ptrdiff_t digit_count = p - begin;
    std::ptrdiff_t fraction_digits = 0;
    if (p < end && *p == '.') {
        const char *const fraction = ++p;
        if (end - p > 19 - digit_count) {
            return std::nullopt;
        }
        if constexpr (swar_digits) {
            if (end - p >= 8 && all_digits(load8(p))) {
                mantissa = mantissa * 100'000'000 + eight_digits_value(load8(p));
                p += 8;
            }
            // The fraction runs to the end of the cell on this path, so its last 1 to 7 digits
            // are the top bytes of the word that ends with the cell; its lower bytes become
            // leading zeros. One word instead of a multiply-add chain per digit.
            const std::ptrdiff_t left = end - p;
            if (left > 0 && left < 8 && end - cell_begin >= 8) {
                const unsigned filler_bits = 8 * static_cast<unsigned>(8 - left);
                const std::uint64_t filler = (std::uint64_t{1} << filler_bits) - 1;
                const std::uint64_t word =
                    (load8(end - 8) & ~filler) | (0x3030303030303030ULL & filler);
                if (all_digits(word)) {
                    mantissa = mantissa * integer_powers_of_ten[left] + eight_digits_value(word);
                    p = end;
                }
            }
        }
        for (; p < end && is_digit(*p); ++p) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        }
        fraction_digits = p - fraction;
        digit_count += fraction_digits;
    }
    if (p != end || digit_count == 0 || mantissa > fast_path_mantissa_limit) {
        return std::nullopt;
    }
    // Both factors are exact doubles, so one multiplication or division rounds correctly.
    const std::ptrdiff_t power = exponent - fraction_digits;
    if (power < -22 || power > 22) {
        return std::nullopt;
    }
    const auto m = static_cast<double>(mantissa);
    return power >= 0 ? m * exact_powers_of_ten[power] : m / exact_powers_of_ten[-power];
}

// Where the digits before an exponent of the shape "e-05" (or "E+12") at the end of [p, end) stop,
// with its value; `end` and zero when the cell has none. Small probabilities are written so.
const char *exponent_suffix(const char *p, const char *end, int &exponent) {
    if (end - p < 5 || (end[-4] | 0x20) != 'e' || (end[-3] != '-' && end[-3] != '+') ||
        !is_digit(end[-2]) || !is_digit(end[-1])) {
        return end;
    }
    const int value = (end[-2] - '0') * 10 + (end[-1] - '0');
    exponent = end[-3] == '-' ? -value : value;
    return end - 4;
}

} // namespace

std::optional<std::uint64_t> parse_rank(std::string_view cell) {
    // Nearly every rank is a few plain digits; up to 19 of them cannot overflow 64 bits, so they
    // need no test per digit.
    if (!cell.empty() && cell.size() <= 19) {
        std::uint64_t value = 0;
        bool digits = true;
        for (char c : cell) {
            digits = digits && is_digit(c);
            value = value * 10 + static_cast<unsigned char>(c - '0');
        }
        if (digits) {
            return value;
        }
    }
    if (cell.starts_with("0x")) {
        return parse_unsigned<16>(cell.substr(2));
    }
    return parse_unsigned<10>(cell);
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

bool is_float(std::string_view cell) {
    const char *p = cell.data();
    const char *const end = p + cell.size();
    if (p < end && (*p == '+' || *p == '-')) {
        ++p;
    }
    if (p == end) {
        return false;
    }
    if (!is_digit(*p) && *p != '.') {
        const std::string_view word(p, static_cast<std::size_t>(end - p));
        return equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity") ||
               equals_ignoring_case(word, "nan");
    }
    // Nearly every cell: digits with at most one point, in one loop without calls.
    const char *q = p;
    bool point = false;
    for (; q < end; ++q) {
        if (static_cast<unsigned char>(*q - '0') > 9) {
            if (*q != '.' || point) {
                break;
            }
            point = true;
        }
    }
    if (q == end) {
        return end - p > (point ? 1 : 0);
    }
    // The syntax parse_float checks before it converts: digits, an optional point with digits,
    // at least one digit in all, an optional exponent with at least one digit.
    const char *const int_begin = p;
    p = skip_digits(p, end);
    bool digits = p != int_begin;
    if (p < end && *p == '.') {
        const char *const fraction = ++p;
        p = skip_digits(p, end);
        digits = digits || p != fraction;
    }
    if (!digits) {
        return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) {
            ++p;
        }
        const char *const exponent = p;
        p = skip_digits(p, end);
        if (p == exponent) {
            return false;
        }
    }
    return p == end;
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
    int exponent_value = 0;
    const char *const digits_end = exponent_suffix(p, end, exponent_value);
    if (const auto plain = parse_plain_decimal(cell.data(), p, digits_end, exponent_value)) {
        return negative ? -*plain : *plain;
    }
    if (!is_digit(*p) && *p != '.') {
        const std::string_view word(p, static_cast<std::size_t>(end - p));
        double magnitude = 0.0;
        if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
            magnitude = std::numeric_limits<double>::infinity();
        } else if (equals_ignoring_case(word, "nan")) {
            magnitude = std::numeric_limits<double>::quiet_NaN();
        } else {
            return std::nullopt;
        }
        return negative ? -magnitude : magnitude;
    }

    // Syntax first: integer digits, an optional point with fraction digits, an optional exponent.
    const char *const int_begin = p;
    p = skip_digits(p, end);
    const char *const int_end = p;
    const char *frac_begin = p;
    const char *frac_end = p;
    if (p < end && *p == '.') {
        frac_begin = ++p;
        p = skip_digits(p, end);
        frac_end = p;
    }
    if (int_begin == int_end && frac_begin == frac_end) {
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

    // The significant digits, from the first nonzero one; `leading_exponent` is the decimal
    // exponent of that digit.
    const char *first = int_begin;
    while (first < int_end && *first == '0') {
        ++first;
    }
    std::int64_t leading_exponent = int_end - first - 1;
    std::ptrdiff_t digit_count = (int_end - first) + (frac_end - frac_begin);
    if (first == int_end) {
        first = frac_begin;
        while (first < frac_end && *first == '0') {
            ++first;
        }
        if (first == frac_end) {
            return negative ? -0.0 : 0.0;
        }
        leading_exponent = frac_begin - first - 1;
        digit_count = frac_end - first;
    }

    // Up to 19 digits fit an unsigned 64-bit mantissa exactly; the value is then
    // mantissa * 10^power, and Clinger's fast path applies when both factors are exact doubles.
    if (digit_count <= 19) {
        std::uint64_t mantissa = accumulate_digits(0, first < int_end ? first : int_end, int_end);
        mantissa = accumulate_digits(mantissa, first > frac_begin ? first : frac_begin, frac_end);
        std::int64_t power = exponent - (frac_end - frac_begin);
        // A small mantissa can absorb part of a larger power exactly ("1e30" is 10^8 * 10^22).
        while (power > 22 && mantissa <= fast_path_mantissa_limit / 10) {
            mantissa *= 10;
            --power;
        }
        if (mantissa <= fast_path_mantissa_limit && power >= -22 && power <= 22) {
            const auto m = static_cast<double>(mantissa);
            const double magnitude =
                power >= 0 ? m * exact_powers_of_ten[power] : m / exact_powers_of_ten[-power];
            return negative ? -magnitude : magnitude;
        }
#if defined(__SIZEOF_INT128__)
        if (power >= -22 && power <= 22) {
            const double magnitude = scale_wide_mantissa(mantissa, static_cast<int>(power));
            return negative ? -magnitude : magnitude;
        }
#endif
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

} // namespace annotrove::table
