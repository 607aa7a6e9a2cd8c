// Choosing the acceptance threshold from a risk-coverage curve.
#pragma once

#include <limits>
#include <optional>
#include <span>

#include "curve_point.hpp"
#include "error.hpp"

namespace annotrove {

// The threshold of a policy for which no curve point qualified.
inline constexpr double NO_QUALIFYING_THRESHOLD = std::numeric_limits<double>::max();

std::optional<double> select_empirical(std::span<const CurvePoint> points, double target);
std::optional<double> select_crc(std::span<const CurvePoint> points, double target);
Result<std::optional<double>> select_binomial(std::span<const CurvePoint> points, double target,
                                              double confidence_level);

} // namespace annotrove
