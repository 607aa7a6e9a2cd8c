// Risk-coverage curve points and their summaries: AURC, E-AURC and AUGRC.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace annotrove {

struct CurvePoint {
    double threshold = 0.0;
    std::uint64_t accepted = 0;
    std::uint64_t total = 0;
    double coverage = 0.0;
    std::uint64_t errors = 0;
    std::optional<double> risk;
};

// Area under the risk-coverage curve by the trapezoid rule from the origin; NaN when empty.
double aurc(std::span<const CurvePoint> points);

// Excess of the area over that of a perfect ordering at the same overall error rate; NaN when
// undefined.
double eaurc(std::span<const CurvePoint> points);

// Area under the generalized risk-coverage curve (generalized risk = errors / total, 0.0 when the
// total is 0), by the same trapezoids from the origin as `aurc`; NaN when empty.
double augrc(std::span<const CurvePoint> points);

} // namespace annotrove
