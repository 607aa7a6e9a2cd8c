// The policy record that calibration produces and application consumes.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "scoring/scoring_method.hpp"

namespace annotrove {

enum class CalibrationMethod { Empirical, Binomial, Crc, Ltt };

inline constexpr std::array<CalibrationMethod, 4> ALL_CALIBRATION_METHODS = {
    CalibrationMethod::Empirical, CalibrationMethod::Binomial, CalibrationMethod::Crc,
    CalibrationMethod::Ltt};

inline constexpr std::string_view SUPPORTED_POLICY_VERSION = "0.1.0";
inline constexpr std::string_view POLICY_CREATOR = "annotrove";

std::string_view calibration_method_name(CalibrationMethod method);
// The whole text must equal one of the four names, byte for byte.
std::optional<CalibrationMethod> parse_calibration_method(std::string_view text);
std::string unknown_calibration_method_message(std::string_view text);

struct PolicyFile {
    std::string version{SUPPORTED_POLICY_VERSION};
    scoring::ScoringMethod scoring_method = scoring::ScoringMethod::MaxProb;
    double threshold = 0.0;
    double target_error_rate = 0.0;
    CalibrationMethod calibration_method = CalibrationMethod::Empirical;
    std::optional<double> confidence_level;
    std::string created_by{POLICY_CREATOR};
    std::optional<std::string> group_col;
    std::optional<std::unordered_map<std::string, double>> group_thresholds;
};

// "unknown variant `x`, expected one of `a`, `b`" as the policy readers word it.
std::string unknown_variant_message(std::string_view text, std::span<const std::string_view> names);

} // namespace annotrove
