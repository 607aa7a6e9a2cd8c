// Calibration method names and the messages for names that match none.
#include "policy.hpp"

namespace annotrove {

namespace {

// In enumeration order.
constexpr std::array<std::string_view, 4> calibration_names = {"empirical", "binomial", "crc",
                                                               "ltt"};

} // namespace

std::string_view calibration_method_name(CalibrationMethod method) {
    return calibration_names[static_cast<std::size_t>(method)];
}

std::optional<CalibrationMethod> parse_calibration_method(std::string_view text) {
    for (CalibrationMethod method : ALL_CALIBRATION_METHODS) {
        if (text == calibration_method_name(method)) {
            return method;
        }
    }
    return std::nullopt;
}

std::string unknown_calibration_method_message(std::string_view text) {
    std::string message = "Unknown calibration method '";
    message += text;
    message += "'. Valid: empirical, binomial, crc, ltt";
    return message;
}

std::string unknown_variant_message(std::string_view text,
                                    std::span<const std::string_view> names) {
    std::string message = "unknown variant `";
    message += text;
    message += "`, expected one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            message += ", ";
        }
        message += '`';
        message += names[i];
        message += '`';
    }
    return message;
}

} // namespace annotrove
