#include "policy_file.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "json_reader.hpp"
#include "json_writer.hpp"
#include "../number_format.hpp"
#include "text_file.hpp"

namespace annotrove::policy {

namespace {

// The nine fields in record order: the member order written, the position in the array form,
// and the index into `FIELD_NAMES`.
enum Field : std::size_t {
    VERSION,
    SCORING_METHOD,
    THRESHOLD,
    TARGET_ERROR_RATE,
    CALIBRATION_METHOD,
    CONFIDENCE_LEVEL,
    CREATED_BY,
    GROUP_COL,
    GROUP_THRESHOLDS,
    FIELD_COUNT,
};

constexpr std::array<std::string_view, FIELD_COUNT> FIELD_NAMES = {
    "version",          "scoring_method", "threshold", "target_error_rate", "calibration_method",
    "confidence_level", "created_by",     "group_col", "group_thresholds"};

// Checked in this order once an object closes; the first one missing is reported.
constexpr std::array<Field, 6> REQUIRED_FIELDS = {
    VERSION, SCORING_METHOD, THRESHOLD, TARGET_ERROR_RATE, CALIBRATION_METHOD, CREATED_BY};

constexpr std::string_view STRUCT_EXPECTATION = "struct PolicyFile with 9 elements";

std::array<std::string_view, scoring::SCORING_METHOD_COUNT> scoring_method_names() {
    std::array<std::string_view, scoring::SCORING_METHOD_COUNT> names{};
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = scoring::serialised_name(scoring::ALL_SCORING_METHODS[i]);
    }
    return names;
}

std::array<std::string_view, ALL_CALIBRATION_METHODS.size()> calibration_method_names() {
    std::array<std::string_view, ALL_CALIBRATION_METHODS.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = calibration_method_name(ALL_CALIBRATION_METHODS[i]);
    }
    return names;
}

class PolicyParser {
  public:
    explicit PolicyParser(std::string_view text) : reader_(text) {}

    Result<PolicyFile> parse() {
        reader_.skip_whitespace();
        Result<void> body;
        switch (reader_.peek_kind()) {
        case JsonReader::Kind::Object:
            body = parse_object();
            break;
        case JsonReader::Kind::Array:
            body = parse_array();
            break;
        case JsonReader::Kind::End:
            return std::unexpected(reader_.error_here("EOF while parsing a value"));
        case JsonReader::Kind::Invalid:
            return std::unexpected(reader_.error_here("expected value"));
        default:
            return std::unexpected(reader_.invalid_type("struct PolicyFile"));
        }
        if (!body) {
            return std::unexpected(std::move(body.error()));
        }
        reader_.skip_whitespace();
        if (!reader_.at_end()) {
            return std::unexpected(reader_.error_here("trailing characters"));
        }
        return std::move(policy_);
    }

  private:
    // `"key":` and the whitespace around it; `key_offset` receives where the key starts.
    Result<std::string> read_member_key(std::size_t &key_offset) {
        reader_.skip_whitespace();
        if (reader_.peek() != '"') {
            return std::unexpected(reader_.unexpected("key must be a string", "an object"));
        }
        key_offset = reader_.offset();
        auto key = reader_.read_string();
        if (!key) {
            return key;
        }
        reader_.skip_whitespace();
        if (reader_.peek() != ':') {
            return std::unexpected(reader_.unexpected("expected `:`", "an object"));
        }
        reader_.advance();
        reader_.skip_whitespace();
        return key;
    }

    // After a member's value: true when a comma introduces another member, false when the
    // object's closing brace follows (left unread).
    Result<bool> another_member() {
        reader_.skip_whitespace();
        if (reader_.peek() == ',') {
            reader_.advance();
            reader_.skip_whitespace();
            if (reader_.peek() == '}') {
                return std::unexpected(reader_.error_here("trailing comma"));
            }
            return true;
        }
        if (reader_.peek() == '}') {
            return false;
        }
        return std::unexpected(reader_.unexpected("expected `,` or `}`", "an object"));
    }

    Result<void> parse_object() {
        reader_.advance(); // '{'
        std::array<bool, FIELD_COUNT> seen{};
        reader_.skip_whitespace();
        if (reader_.peek() != '}') {
            while (true) {
                std::size_t key_offset = 0;
                auto key = read_member_key(key_offset);
                if (!key) {
                    return std::unexpected(std::move(key.error()));
                }

                const auto match = std::find(FIELD_NAMES.begin(), FIELD_NAMES.end(), *key);
                Result<void> value;
                if (match == FIELD_NAMES.end()) {
                    value = reader_.skip_value(); // unknown members are ignored, whatever they hold
                } else {
                    const auto field = static_cast<Field>(match - FIELD_NAMES.begin());
                    if (seen[field]) {
                        return std::unexpected(
                            reader_.error_at(key_offset, "duplicate field `" + *key + "`"));
                    }
                    seen[field] = true;
                    value = read_field(field);
                }
                if (!value) {
                    return value;
                }

                auto more = another_member();
                if (!more) {
                    return std::unexpected(std::move(more.error()));
                }
                if (!*more) {
                    break;
                }
            }
        }
        const std::size_t close_offset = reader_.offset();
        reader_.advance(); // '}'
        for (const Field field : REQUIRED_FIELDS) {
            if (!seen[field]) {
                return std::unexpected(reader_.error_at(
                    close_offset, "missing field `" + std::string(FIELD_NAMES[field]) + "`"));
            }
        }
        return {};
    }

    // The nine values in field order, all of them required (null stands for an absent
    // optional field).
    Result<void> parse_array() {
        reader_.advance(); // '['
        std::size_t count = 0;
        reader_.skip_whitespace();
        while (true) {
            if (reader_.peek() == ']') {
                return std::unexpected(reader_.error_here("invalid length " +
                                                          std::to_string(count) + ", expected " +
                                                          std::string(STRUCT_EXPECTATION)));
            }
            if (count == FIELD_COUNT) {
                return std::unexpected(reader_.error_here("trailing elements in array, expected " +
                                                          std::string(STRUCT_EXPECTATION)));
            }
            if (auto value = read_field(static_cast<Field>(count)); !value) {
                return value;
            }
            ++count;
            reader_.skip_whitespace();
            if (reader_.peek() == ',') {
                reader_.advance();
                reader_.skip_whitespace();
                if (reader_.peek() == ']') {
                    return std::unexpected(reader_.error_here("trailing comma"));
                }
                continue;
            }
            if (reader_.peek() == ']' && count == FIELD_COUNT) {
                reader_.advance();
                return {};
            }
            if (reader_.peek() == ']') {
                continue; // a short array, reported at the top of the loop
            }
            return std::unexpected(reader_.unexpected("expected `,` or `]`", "a list"));
        }
    }

    Result<void> read_field(Field field) {
        switch (field) {
        case VERSION:
            return read_string_into(policy_.version);
        case SCORING_METHOD:
            return read_scoring_method();
        case THRESHOLD:
            return read_number_into(policy_.threshold);
        case TARGET_ERROR_RATE:
            return read_number_into(policy_.target_error_rate);
        case CALIBRATION_METHOD:
            return read_calibration_method();
        case CONFIDENCE_LEVEL:
            if (reader_.peek_kind() == JsonReader::Kind::Null) {
                policy_.confidence_level.reset();
                return reader_.read_null();
            }
            return read_number_into(policy_.confidence_level.emplace());
        case CREATED_BY:
            return read_string_into(policy_.created_by);
        case GROUP_COL:
            if (reader_.peek_kind() == JsonReader::Kind::Null) {
                policy_.group_col.reset();
                return reader_.read_null();
            }
            return read_string_into(policy_.group_col.emplace());
        case GROUP_THRESHOLDS:
            if (reader_.peek_kind() == JsonReader::Kind::Null) {
                policy_.group_thresholds.reset();
                return reader_.read_null();
            }
            return read_group_thresholds(policy_.group_thresholds.emplace());
        case FIELD_COUNT:
            break;
        }
        return {};
    }

    Result<void> read_string_into(std::string &out) {
        if (reader_.peek_kind() != JsonReader::Kind::String) {
            return std::unexpected(reader_.invalid_type("a string"));
        }
        auto text = reader_.read_string();
        if (!text) {
            return std::unexpected(std::move(text.error()));
        }
        out = std::move(*text);
        return {};
    }

    Result<void> read_number_into(double &out) {
        if (reader_.peek_kind() != JsonReader::Kind::Number) {
            return std::unexpected(reader_.invalid_type("a number"));
        }
        auto number = reader_.read_number();
        if (!number) {
            return std::unexpected(std::move(number.error()));
        }
        out = *number;
        return {};
    }

    Result<void> read_scoring_method() {
        const std::size_t offset = reader_.offset();
        std::string name;
        if (auto text = read_string_into(name); !text) {
            return text;
        }
        const auto method = scoring::parse_serialised_scoring_method(name);
        if (!method) {
            const auto names = scoring_method_names();
            return std::unexpected(reader_.error_at(offset, unknown_variant_message(name, names)));
        }
        policy_.scoring_method = *method;
        return {};
    }

    Result<void> read_calibration_method() {
        const std::size_t offset = reader_.offset();
        std::string name;
        if (auto text = read_string_into(name); !text) {
            return text;
        }
        const auto method = parse_calibration_method(name);
        if (!method) {
            const auto names = calibration_method_names();
            return std::unexpected(reader_.error_at(offset, unknown_variant_message(name, names)));
        }
        policy_.calibration_method = *method;
        return {};
    }

    // An object of group value -> number; a group named twice keeps its later value.
    Result<void> read_group_thresholds(std::unordered_map<std::string, double> &out) {
        if (reader_.peek_kind() != JsonReader::Kind::Object) {
            return std::unexpected(reader_.invalid_type("a map"));
        }
        reader_.advance(); // '{'
        reader_.skip_whitespace();
        if (reader_.peek() == '}') {
            reader_.advance();
            return {};
        }
        while (true) {
            std::size_t key_offset = 0;
            auto key = read_member_key(key_offset);
            if (!key) {
                return std::unexpected(std::move(key.error()));
            }
            double threshold = 0.0;
            if (auto value = read_number_into(threshold); !value) {
                return value;
            }
            out.insert_or_assign(std::move(*key), threshold);

            auto more = another_member();
            if (!more) {
                return std::unexpected(std::move(more.error()));
            }
            if (!*more) {
                reader_.advance(); // '}'
                return {};
            }
        }
    }

    JsonReader reader_;
    PolicyFile policy_;
};

} // namespace

std::string policy_to_json(const PolicyFile &policy) {
    JsonWriter writer;
    writer.begin_object();
    writer.key(FIELD_NAMES[VERSION]);
    writer.string_value(policy.version);
    writer.key(FIELD_NAMES[SCORING_METHOD]);
    writer.string_value(scoring::serialised_name(policy.scoring_method));
    writer.key(FIELD_NAMES[THRESHOLD]);
    writer.number_value(policy.threshold);
    writer.key(FIELD_NAMES[TARGET_ERROR_RATE]);
    writer.number_value(policy.target_error_rate);
    writer.key(FIELD_NAMES[CALIBRATION_METHOD]);
    writer.string_value(calibration_method_name(policy.calibration_method));
    writer.key(FIELD_NAMES[CONFIDENCE_LEVEL]);
    if (policy.confidence_level) {
        writer.number_value(*policy.confidence_level);
    } else {
        writer.null_value();
    }
    writer.key(FIELD_NAMES[CREATED_BY]);
    writer.string_value(policy.created_by);
    if (policy.group_col) {
        writer.key(FIELD_NAMES[GROUP_COL]);
        writer.string_value(*policy.group_col);
    }
    if (policy.group_thresholds) {
        writer.key(FIELD_NAMES[GROUP_THRESHOLDS]);
        writer.begin_object();
        // The map has no order of its own; sorting makes equal policies give equal files.
        std::vector<std::pair<std::string_view, double>> entries(policy.group_thresholds->begin(),
                                                                 policy.group_thresholds->end());
        std::sort(entries.begin(), entries.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[group, threshold] : entries) {
            writer.key(group);
            writer.number_value(threshold);
        }
        writer.end_object();
    }
    writer.end_object();
    return writer.take();
}

Result<PolicyFile> policy_from_json(std::string_view text) {
    return PolicyParser(text).parse();
}

namespace {

// The policy in a file's text, as loading the file gives it.
Result<PolicyFile> policy_from_file_text(std::string_view text) {
    auto policy = policy_from_json(text);
    if (!policy) {
        return policy;
    }
    // Only after the whole file parsed: a malformed file reports its own fault first.
    if (policy->version != SUPPORTED_POLICY_VERSION) {
        return std::unexpected(CoreError::unknown_policy_version(std::move(policy->version)));
    }
    return policy;
}

// Saving succeeds only for a file that loads back as the same policy: the text of `policy` is
// read as loading reads it, and its error (a non-finite threshold, target error rate or group
// threshold written as null; another version) is the saving error. A non-finite confidence
// level would be written as null and come back absent without any error, so it is named here.
Result<void> check_loads_back(const PolicyFile &policy, std::string_view text) {
    if (auto loaded = policy_from_file_text(text); !loaded) {
        return std::unexpected(std::move(loaded.error()));
    }
    if (policy.confidence_level && !std::isfinite(*policy.confidence_level)) {
        return std::unexpected(CoreError::json(
            "cannot save confidence_level " + format_plain_shortest(*policy.confidence_level) +
            ": a policy file holds only finite numbers"));
    }
    return {};
}

} // namespace

Result<void> write_policy_file(std::string_view path, const PolicyFile &policy) {
    const std::string text = policy_to_json(policy);
    // Checked before the file is opened, so that a refused policy leaves a previous file intact.
    if (auto loadable = check_loads_back(policy, text); !loadable) {
        return loadable;
    }
    if (auto written = replace_file_contents(path, text); !written) {
        FileError &error = written.error();
        if (error.stage == FileError::Stage::Write) {
            return std::unexpected(
                CoreError::json("failed to write policy file: " + error.description));
        }
        return std::unexpected(CoreError::io(std::move(error.description)));
    }
    return {};
}

Result<PolicyFile> read_policy_file(std::string_view path) {
    auto text = read_text_file(path);
    if (!text) {
        return std::unexpected(CoreError::io(std::move(text.error().description)));
    }
    return policy_from_file_text(*text);
}

} // namespace annotrove::policy
