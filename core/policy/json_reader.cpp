#include "json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>
#include <vector>

#include "../number_format.hpp"
#include "json_writer.hpp"

namespace annotrove::policy {

namespace {

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence starting at text[pos] with a byte >= 0x80, or 0.
// Overlong forms, encoded surrogates and code points above U+10FFFF are not well formed.
std::size_t utf8_sequence_length(std::string_view text, std::size_t pos) {
    const auto at = [&](std::size_t i) -> unsigned {
        return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0u;
    };
    const unsigned lead = at(0);
    unsigned second_low = 0x80;
    unsigned second_high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            second_low = 0xA0;
        } else if (lead == 0xED) {
            second_high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            second_low = 0x90;
        } else if (lead == 0xF4) {
            second_high = 0x8F;
        }
    } else {
        return 0;
    }
    if (at(1) < second_low || at(1) > second_high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!is_continuation(static_cast<unsigned char>(at(i)))) {
            return 0;
        }
    }
    return length;
}

void append_utf8(std::string &out, unsigned code_point) {
    const auto byte = [](unsigned value) { return static_cast<char>(value); };
    if (code_point < 0x80) {
        out += byte(code_point);
    } else if (code_point < 0x800) {
        out += byte(0xC0 | (code_point >> 6));
        out += byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += byte(0xE0 | (code_point >> 12));
        out += byte(0x80 | ((code_point >> 6) & 0x3F));
        out += byte(0x80 | (code_point & 0x3F));
    } else {
        out += byte(0xF0 | (code_point >> 18));
        out += byte(0x80 | ((code_point >> 12) & 0x3F));
        out += byte(0x80 | ((code_point >> 6) & 0x3F));
        out += byte(0x80 | (code_point & 0x3F));
    }
}

} // namespace

void JsonReader::skip_whitespace() {
    while (pos_ < text_.size()) {
        const char c = text_[pos_];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            return;
        }
        ++pos_;
    }
}

JsonReader::Kind JsonReader::peek_kind() const {
    const int c = peek();
    switch (c) {
    case -1:
        return Kind::End;
    case 'n':
        return Kind::Null;
    case 't':
    case 'f':
        return Kind::Boolean;
    case '"':
        return Kind::String;
    case '[':
        return Kind::Array;
    case '{':
        return Kind::Object;
    default:
        return c == '-' || is_digit(c) ? Kind::Number : Kind::Invalid;
    }
}

CoreError JsonReader::error_at(std::size_t offset, std::string_view message) const {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset && i < text_.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text_[i]);
        if (byte == '\n') {
            ++line;
            column = 1;
        } else if (!is_continuation(byte)) {
            ++column;
        }
    }
    std::string text(message);
    text += " at line " + std::to_string(line) + " column " + std::to_string(column);
    return CoreError::json(std::move(text));
}

CoreError JsonReader::unexpected(std::string_view message, std::string_view eof_context) const {
    if (at_end()) {
        return error_here("EOF while parsing " + std::string(eof_context));
    }
    return error_here(message);
}

Result<void> JsonReader::read_literal(std::string_view word) {
    for (const char expected : word) {
        if (at_end()) {
            return std::unexpected(error_here("EOF while parsing a value"));
        }
        if (text_[pos_] != expected) {
            return std::unexpected(error_here("expected `" + std::string(word) + "`"));
        }
        ++pos_;
    }
    return {};
}

Result<void> JsonReader::read_null() {
    return read_literal("null");
}

Result<unsigned> JsonReader::read_hex4() {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = peek();
        unsigned digit = 0;
        if (is_digit(c)) {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::unexpected(unexpected("invalid hex digit in \\u escape", "a string"));
        }
        value = value * 16 + digit;
        ++pos_;
    }
    return value;
}

Result<std::string> JsonReader::read_string() {
    ++pos_; // the opening quote
    std::string out;
    while (true) {
        // Copy the run of plain ASCII in one go; strings in a policy are mostly that.
        const std::size_t run_start = pos_;
        while (pos_ < text_.size()) {
            const auto byte = static_cast<unsigned char>(text_[pos_]);
            if (byte == '"' || byte == '\\' || byte < 0x20 || byte >= 0x80) {
                break;
            }
            ++pos_;
        }
        out.append(text_.substr(run_start, pos_ - run_start));
        if (at_end()) {
            return std::unexpected(error_here("EOF while parsing a string"));
        }
        const auto byte = static_cast<unsigned char>(text_[pos_]);
        if (byte == '"') {
            ++pos_;
            return out;
        }
        if (byte < 0x20) {
            return std::unexpected(
                error_here("control character (\\u0000-\\u001F) found while parsing a string"));
        }
        if (byte >= 0x80) {
            const std::size_t length = utf8_sequence_length(text_, pos_);
            if (length == 0) {
                return std::unexpected(error_here("invalid UTF-8 in string"));
            }
            out.append(text_.substr(pos_, length));
            pos_ += length;
            continue;
        }
        // A backslash escape.
        const std::size_t escape_start = pos_;
        ++pos_;
        if (at_end()) {
            return std::unexpected(error_here("EOF while parsing a string"));
        }
        const char code = text_[pos_];
        ++pos_;
        switch (code) {
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case '/':
            out += '/';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            auto unit = read_hex4();
            if (!unit) {
                return std::unexpected(std::move(unit.error()));
            }
            unsigned code_point = *unit;
            if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
                return std::unexpected(
                    error_at(escape_start, "lone trailing surrogate in \\u escape"));
            }
            if (code_point >= 0xD800 && code_point <= 0xDBFF) {
                // A leading surrogate only counts with a trailing one escaped right after it.
                if (text_.substr(pos_, 2) != "\\u") {
                    return std::unexpected(
                        error_at(escape_start, "lone leading surrogate in \\u escape"));
                }
                const std::size_t second_start = pos_;
                pos_ += 2;
                auto low = read_hex4();
                if (!low) {
                    return std::unexpected(std::move(low.error()));
                }
                if (*low < 0xDC00 || *low > 0xDFFF) {
                    return std::unexpected(error_at(
                        second_start, "leading surrogate not followed by a trailing surrogate"));
                }
                code_point = 0x10000 + ((code_point - 0xD800) << 10) + (*low - 0xDC00);
            }
            append_utf8(out, code_point);
            break;
        }
        default:
            return std::unexpected(error_at(pos_ - 1, "invalid escape"));
        }
    }
}

// JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
Result<JsonReader::NumberToken> JsonReader::scan_number() {
    NumberToken token{pos_, pos_, true};
    if (peek() == '-') {
        ++pos_;
    }
    if (peek() == '0') {
        ++pos_;
        if (is_digit(peek())) {
            return std::unexpected(error_here("invalid number"));
        }
    } else if (is_digit(peek())) {
        while (is_digit(peek())) {
            ++pos_;
        }
    } else {
        return std::unexpected(unexpected("invalid number", "a value"));
    }
    if (peek() == '.') {
        token.integral = false;
        ++pos_;
        if (!is_digit(peek())) {
            return std::unexpected(unexpected("invalid number", "a value"));
        }
        while (is_digit(peek())) {
            ++pos_;
        }
    }
    if (peek() == 'e' || peek() == 'E') {
        token.integral = false;
        ++pos_;
        if (peek() == '+' || peek() == '-') {
            ++pos_;
        }
        if (!is_digit(peek())) {
            return std::unexpected(unexpected("invalid number", "a value"));
        }
        while (is_digit(peek())) {
            ++pos_;
        }
    }
    token.end = pos_;
    return token;
}

Result<double> JsonReader::convert_number(const NumberToken &token) const {
    const char *first = text_.data() + token.begin;
    const char *last = text_.data() + token.end;
    double value = 0.0;
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc{} && result.ptr == last) {
        return value;
    }
    // from_chars refuses both overflow and underflow. The grammar is already checked, so find
    // which one it was from the decimal exponent of the first significant digit: a value of at
    // least 1 overflowed, a smaller one rounded to zero.
    const std::string_view number = text_.substr(token.begin, token.end - token.begin);
    const bool negative = number.front() == '-';
    std::int64_t leading = 0; // exponent of the first significant digit, before the 'e' part
    bool seen_significant = false;
    bool in_fraction = false;
    std::size_t i = negative ? 1 : 0;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        const char c = number[i];
        if (c == '.') {
            in_fraction = true;
        } else if (!seen_significant && c != '0') {
            seen_significant = true;
            leading = in_fraction ? -leading - 1 : 0;
        } else if (seen_significant && !in_fraction) {
            ++leading;
        } else if (!seen_significant && in_fraction) {
            ++leading; // zeros after the point: negated once the first digit shows up
        }
    }
    std::int64_t exponent = 0;
    bool exponent_negative = false;
    if (i < number.size()) {
        ++i;
        if (number[i] == '+' || number[i] == '-') {
            exponent_negative = number[i] == '-';
            ++i;
        }
        constexpr std::int64_t SATURATION = std::int64_t{1} << 40;
        for (; i < number.size(); ++i) {
            exponent = std::min(exponent * 10 + (number[i] - '0'), SATURATION);
        }
    }
    if (exponent_negative) {
        exponent = -exponent;
    }
    if (seen_significant && leading + exponent >= 0) {
        return std::unexpected(error_at(token.begin, "number out of range"));
    }
    return negative ? -0.0 : 0.0;
}

Result<double> JsonReader::read_number() {
    auto token = scan_number();
    if (!token) {
        return std::unexpected(std::move(token.error()));
    }
    return convert_number(*token);
}

Result<void> JsonReader::read_key_and_colon() {
    skip_whitespace();
    if (peek() != '"') {
        return std::unexpected(unexpected("key must be a string", "an object"));
    }
    auto key = read_string();
    if (!key) {
        return std::unexpected(std::move(key.error()));
    }
    skip_whitespace();
    if (peek() != ':') {
        return std::unexpected(unexpected("expected `:`", "an object"));
    }
    ++pos_;
    return {};
}

Result<void> JsonReader::skip_value() {
    // One entry per open container, true for an object. Kept on the heap so that the depth of
    // the input cannot exhaust the call stack.
    std::vector<bool> open_objects;
    while (true) {
        // Expecting a value.
        skip_whitespace();
        switch (peek_kind()) {
        case Kind::Object:
            ++pos_;
            skip_whitespace();
            if (peek() == '}') {
                ++pos_;
                break;
            }
            open_objects.push_back(true);
            if (auto key = read_key_and_colon(); !key) {
                return key;
            }
            continue;
        case Kind::Array:
            ++pos_;
            skip_whitespace();
            if (peek() == ']') {
                ++pos_;
                break;
            }
            open_objects.push_back(false);
            continue;
        case Kind::String:
            if (auto text = read_string(); !text) {
                return std::unexpected(std::move(text.error()));
            }
            break;
        case Kind::Number:
            if (auto number = read_number(); !number) {
                return std::unexpected(std::move(number.error()));
            }
            break;
        case Kind::Null:
            if (auto literal = read_literal("null"); !literal) {
                return literal;
            }
            break;
        case Kind::Boolean:
            if (auto literal = read_literal(peek() == 't' ? "true" : "false"); !literal) {
                return literal;
            }
            break;
        case Kind::End:
            return std::unexpected(error_here("EOF while parsing a value"));
        case Kind::Invalid:
            return std::unexpected(error_here("expected value"));
        }
        // A value is complete: close containers until one expects another element.
        while (true) {
            if (open_objects.empty()) {
                return {};
            }
            const bool object = open_objects.back();
            skip_whitespace();
            const int c = peek();
            if (c == ',') {
                ++pos_;
                skip_whitespace();
                if (peek() == (object ? '}' : ']')) {
                    return std::unexpected(error_here("trailing comma"));
                }
                if (object) {
                    if (auto key = read_key_and_colon(); !key) {
                        return key;
                    }
                }
                break;
            }
            if (c == (object ? '}' : ']')) {
                ++pos_;
                open_objects.pop_back();
                continue;
            }
            return std::unexpected(object ? unexpected("expected `,` or `}`", "an object")
                                          : unexpected("expected `,` or `]`", "a list"));
        }
    }
}

Result<std::string> JsonReader::describe_unexpected() {
    switch (peek_kind()) {
    case Kind::Null:
        if (auto literal = read_literal("null"); !literal) {
            return std::unexpected(std::move(literal.error()));
        }
        return std::string("null");
    case Kind::Boolean: {
        const std::string_view word = peek() == 't' ? "true" : "false";
        if (auto literal = read_literal(word); !literal) {
            return std::unexpected(std::move(literal.error()));
        }
        return "boolean `" + std::string(word) + "`";
    }
    case Kind::Number: {
        auto token = scan_number();
        if (!token) {
            return std::unexpected(std::move(token.error()));
        }
        if (token->integral) {
            // Whole numbers that fit a 64-bit integer are integers; larger ones are floats.
            const char *first = text_.data() + token->begin;
            const char *last = text_.data() + token->end;
            std::int64_t signed_value = 0;
            std::uint64_t unsigned_value = 0;
            if (const auto r = std::from_chars(first, last, signed_value);
                r.ec == std::errc{} && r.ptr == last) {
                return "integer `" + std::to_string(signed_value) + "`";
            }
            if (const auto r = std::from_chars(first, last, unsigned_value);
                r.ec == std::errc{} && r.ptr == last) {
                return "integer `" + std::to_string(unsigned_value) + "`";
            }
        }
        auto value = convert_number(*token);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        return "floating point `" + format_json_number(*value) + "`";
    }
    case Kind::String: {
        auto text = read_string();
        if (!text) {
            return std::unexpected(std::move(text.error()));
        }
        std::string out = "string ";
        append_json_string(out, *text);
        return out;
    }
    case Kind::Array:
        return std::string("sequence");
    case Kind::Object:
        return std::string("map");
    case Kind::End:
        return std::unexpected(error_here("EOF while parsing a value"));
    case Kind::Invalid:
        break;
    }
    return std::unexpected(error_here("expected value"));
}

CoreError JsonReader::invalid_type(std::string_view expected) {
    const std::size_t start = pos_;
    auto found = describe_unexpected();
    if (!found) {
        return std::move(found.error());
    }
    return error_at(start, "invalid type: " + *found + ", expected " + std::string(expected));
}

} // namespace annotrove::policy
