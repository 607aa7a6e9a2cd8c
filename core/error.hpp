// The core's single error type: a closed set of kinds, each rendering to one fixed message.
#pragma once

#include <expected>
#include <string>

namespace annotrove {

enum class CoreErrorKind {
    Csv,
    Io,
    Json,
    MissingColumn,
    UnknownPolicyVersion,
    UnsupportedConfidenceLevel,
    ParquetNotEnabled,
    TooManyToResample,
    Arrow,
};

class CoreError {
  public:
    static CoreError csv(std::string description);
    static CoreError io(std::string description);
    static CoreError json(std::string description);
    static CoreError missing_column(std::string column);
    static CoreError unknown_policy_version(std::string version);
    static CoreError unsupported_confidence_level(double level);
    static CoreError parquet_not_enabled();
    static CoreError too_many_to_resample();
    // A fault of a table handed over as Arrow data: the description names the column, the row
    // (from 1 over the whole stream) and the fault, or what the producer reported.
    static CoreError arrow(std::string description);

    CoreErrorKind kind() const { return kind_; }
    // The payload: the wrapped description, the column name or the version text.
    const std::string &text() const { return text_; }
    double level() const { return level_; }

    // The user-facing message, rendered from the kind's fixed template.
    std::string message() const;

  private:
    CoreError(CoreErrorKind kind, std::string text, double level)
        : kind_(kind), text_(std::move(text)), level_(level) {}

    CoreErrorKind kind_;
    std::string text_;
    double level_;
};

template <typename T> using Result = std::expected<T, CoreError>;

} // namespace annotrove
