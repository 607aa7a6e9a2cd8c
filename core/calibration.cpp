// Choosing the acceptance threshold from a risk-coverage curve: the observed risk (empirical), a
// finite-sample corrected target (crc), or the Wilson score upper bound of the risk (binomial).
#include "calibration.hpp"

#include "total_order.hpp"
#include <array>
#include <cmath>
#include <cstdint>

namespace annotrove {

namespace {

// The common rule: among qualifying points the greatest coverage, the later one on equal
// coverage. On a computed curve that is simply the last qualifying point, but the rule is kept
// on coverage so any list of points gives the same answer. One pass, no allocation.
template <typename Qualifies>
std::optional<double> select_greatest_coverage(std::span<const CurvePoint> points,
                                               Qualifies qualifies) {
    const CurvePoint *selected = nullptr;
    for (const CurvePoint &point : points) {
        if (!qualifies(point)) {
            continue;
        }
        if (selected == nullptr ||
            total_order_key(point.coverage) >= total_order_key(selected->coverage)) {
            selected = &point;
        }
    }
    if (selected == nullptr) {
        return std::nullopt;
    }
    return selected->threshold;
}

struct SupportedLevel {
    std::uint64_t key; // the level in thousandths
    double z;          // its one-sided standard normal quantile
};

constexpr std::array<SupportedLevel, 4> supported_levels = {{
    {900, 1.282},
    {950, 1.645},
    {975, 1.96},
    {990, 2.326},
}};

// The z of a level, matched in thousandths so that 0.9004 counts as 0.90; NaN matches nothing.
std::optional<double> z_of_level(double level) {
    if (std::isnan(level)) {
        return std::nullopt;
    }
    // std::round rounds halves away from zero, as the key requires.
    const double thousandths = std::round(1000.0 * level);
    std::uint64_t key = 0;
    if (thousandths >= 4294967295.0) {
        key = 4294967295;
    } else if (thousandths > 0.0) {
        key = static_cast<std::uint64_t>(thousandths);
    }
    for (const SupportedLevel &supported : supported_levels) {
        if (supported.key == key) {
            return supported.z;
        }
    }
    return std::nullopt;
}

// Upper end of the Wilson score interval for e errors among n accepted queries, evaluated in a
// fixed order so that every platform gets the same bits.
double wilson_upper_bound(double n, double e, double z) {
    const double z2 = z * z;
    const double p = e / n;
    const double spread = z * std::sqrt(z2 / ((n * 4.0) * n) + ((1.0 - p) * p) / n);
    const double centre = p + z2 / (n * 2.0);
    const double scale = 1.0 + z2 / n;
    return (spread + centre) / scale;
}

} // namespace

std::optional<double> select_empirical(std::span<const CurvePoint> points, double target) {
    // At most the target, not strictly below; false whenever either side is NaN.
    return select_greatest_coverage(
        points, [target](const CurvePoint &point) { return point.risk && target >= *point.risk; });
}

std::optional<double> select_crc(std::span<const CurvePoint> points, double target) {
    if (points.empty()) {
        return std::nullopt;
    }
    // Conformal risk control for a 0/1 loss: with n calibration queries the observed risk must
    // stay 1/(n+1) under the target for the guarantee to hold on a new query.
    const auto n = static_cast<double>(points.back().total);
    const double adjusted = target - 1.0 / (n + 1.0);
    if (adjusted <= 0.0) {
        return std::nullopt;
    }
    return select_empirical(points, adjusted);
}

Result<std::optional<double>> select_binomial(std::span<const CurvePoint> points, double target,
                                              double confidence_level) {
    // The level is checked before the points, so an unsupported level fails even on an empty
    // curve.
    const std::optional<double> z = z_of_level(confidence_level);
    if (!z) {
        return std::unexpected(CoreError::unsupported_confidence_level(confidence_level));
    }
    return select_greatest_coverage(points, [target, z = *z](const CurvePoint &point) {
        if (point.accepted == 0) {
            return false;
        }
        const double upper = wilson_upper_bound(static_cast<double>(point.accepted),
                                                static_cast<double>(point.errors), z);
        return target >= upper;
    });
}

} // namespace annotrove
