// Indented JSON text built in memory: one member per line, two spaces per nesting level.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace annotrove::policy {

// Appends `text` as a JSON string: quote and backslash escaped, \b \t \n \f \r by name, other
// control characters as \u00xx, everything else (DEL and non-ASCII included) as raw bytes.
void append_json_string(std::string &out, std::string_view text);

// Writes objects only, which is all a policy needs. Members are separated by a comma directly
// after the value; a closing brace stands on its own line at the indentation of the line that
// opened it, and an object without members is written "{}".
class JsonWriter {
  public:
    void begin_object();
    void end_object();

    // Starts a member: line break, indentation, the quoted key, ": ". A value call must follow.
    void key(std::string_view name);

    void string_value(std::string_view text);
    // Non-finite values are written as null.
    void number_value(double value);
    void null_value();

    // The text so far; complete once every object has been ended.
    const std::string &text() const { return out_; }
    std::string take() { return std::move(out_); }

  private:
    void indent(std::size_t levels);

    std::string out_;
    // One entry per open object: whether it has a member yet.
    std::vector<bool> has_members_;
};

} // namespace annotrove::policy
