// A strict JSON reader for small documents: the caller walks the structure it expects and the
// reader checks the grammar, decodes strings and numbers, and skips whatever the caller ignores.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "../error.hpp"

namespace annotrove::policy {

// Every error is a CoreError of kind Json whose text ends with " at line L column C": lines are
// counted from 1 at each line feed, columns from 1 in characters (UTF-8 sequences count once).
// Numbers whose magnitude is too large for a 64-bit float are refused with "number out of range";
// numbers too small for one become zero of the same sign, as a correctly rounding parser gives.
class JsonReader {
  public:
    // What the next value is, judged by its first character.
    enum class Kind { Null, Boolean, Number, String, Array, Object, Invalid, End };

    explicit JsonReader(std::string_view text) : text_(text) {}

    // Skips space, tab, line feed and carriage return.
    void skip_whitespace();
    bool at_end() const { return pos_ >= text_.size(); }
    std::size_t offset() const { return pos_; }
    // The next byte, or -1 at the end of the text.
    int peek() const { return at_end() ? -1 : static_cast<unsigned char>(text_[pos_]); }
    void advance() { ++pos_; }

    Kind peek_kind() const;

    // Reads a string at the opening quote, decoding escapes into UTF-8.
    Result<std::string> read_string();
    // Reads a number, correctly rounded to the nearest 64-bit float.
    Result<double> read_number();
    // Reads null.
    Result<void> read_null();

    // Skips one complete value of any depth without recursion, checking its grammar.
    Result<void> skip_value();

    // Consumes a value of the wrong type and describes it for an invalid-type error:
    // null, boolean `true`, integer `1`, floating point `1.5`, string "a", sequence, map
    // (containers are described without being consumed).
    Result<std::string> describe_unexpected();

    // The error for a value of the wrong type found at the reader's position:
    // "invalid type: integer `1`, expected a string".
    CoreError invalid_type(std::string_view expected);

    // The Json error `message` placed at `offset` (line and column are appended).
    CoreError error_at(std::size_t offset, std::string_view message) const;
    CoreError error_here(std::string_view message) const { return error_at(pos_, message); }
    // "EOF while parsing ..." at the end, otherwise `message` at the current position.
    CoreError unexpected(std::string_view message, std::string_view eof_context) const;

  private:
    struct NumberToken {
        std::size_t begin;
        std::size_t end;
        bool integral; // no fraction and no exponent
    };

    Result<NumberToken> scan_number();
    Result<double> convert_number(const NumberToken &token) const;
    Result<void> read_literal(std::string_view word);
    Result<unsigned> read_hex4();
    // Reads the member key and colon that follow '{' or ',' inside an object.
    Result<void> read_key_and_colon();

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace annotrove::policy
