#include "json_writer.hpp"

#include "../number_format.hpp"

namespace annotrove::policy {

void append_json_string(std::string &out, std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default: {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20) {
                out += "\\u00";
                out += HEX[byte >> 4];
                out += HEX[byte & 0xF];
            } else {
                out += c;
            }
        }
        }
    }
    out += '"';
}

void JsonWriter::begin_object() {
    out_ += '{';
    has_members_.push_back(false);
}

void JsonWriter::end_object() {
    const bool had_members = has_members_.back();
    has_members_.pop_back();
    if (had_members) {
        out_ += '\n';
        indent(has_members_.size());
    }
    out_ += '}';
}

void JsonWriter::key(std::string_view name) {
    if (has_members_.back()) {
        out_ += ',';
    }
    has_members_.back() = true;
    out_ += '\n';
    indent(has_members_.size());
    append_json_string(out_, name);
    out_ += ": ";
}

void JsonWriter::string_value(std::string_view text) {
    append_json_string(out_, text);
}

void JsonWriter::number_value(double value) {
    out_ += format_json_number(value);
}

void JsonWriter::null_value() {
    out_ += "null";
}

void JsonWriter::indent(std::size_t levels) {
    out_.append(2 * levels, ' ');
}

} // namespace annotrove::policy
