#include "error.hpp"

#include "number_format.hpp"

namespace annotrove {

CoreError CoreError::csv(std::string description) {
    return {CoreErrorKind::Csv, std::move(description), 0.0};
}
CoreError CoreError::io(std::string description) {
    return {CoreErrorKind::Io, std::move(description), 0.0};
}
CoreError CoreError::json(std::string description) {
    return {CoreErrorKind::Json, std::move(description), 0.0};
}
CoreError CoreError::missing_column(std::string column) {
    return {CoreErrorKind::MissingColumn, std::move(column), 0.0};
}
CoreError CoreError::unknown_policy_version(std::string version) {
    return {CoreErrorKind::UnknownPolicyVersion, std::move(version), 0.0};
}
CoreError CoreError::unsupported_confidence_level(double level) {
    return {CoreErrorKind::UnsupportedConfidenceLevel, {}, level};
}
CoreError CoreError::parquet_not_enabled() {
    return {CoreErrorKind::ParquetNotEnabled, {}, 0.0};
}
CoreError CoreError::too_many_to_resample() {
    return {CoreErrorKind::TooManyToResample, {}, 0.0};
}

CoreError CoreError::arrow(std::string description) {
    return {CoreErrorKind::Arrow, std::move(description), 0.0};
}

std::string CoreError::message() const {
    switch (kind_) {
    case CoreErrorKind::Csv:
        return "CSV error: " + text_;
    case CoreErrorKind::Io:
        return "IO error: " + text_;
    case CoreErrorKind::Json:
        return "JSON error: " + text_;
    case CoreErrorKind::MissingColumn:
        return "Missing required column: " + text_;
    case CoreErrorKind::UnknownPolicyVersion:
        return "Unknown policy version: " + text_;
    case CoreErrorKind::UnsupportedConfidenceLevel:
        return "Unsupported confidence level: " + format_plain_shortest(level_) +
               ". Supported: 0.90, 0.95, 0.975, 0.99";
    case CoreErrorKind::ParquetNotEnabled:
        return "Parquet input detected but annotrove was compiled without the 'parquet' feature; "
               "recompile with --features parquet";
    case CoreErrorKind::TooManyToResample:
        return "Too many labelled queries to resample: at most 2147483647";
    case CoreErrorKind::Arrow:
        return "Arrow error: " + text_;
    }
    return "unknown error";
}

} // namespace annotrove
