// Choosing the acceptance threshold from a risk-coverage curve: the observed risk (empirical), a
// finite-sample corrected target (crc), the Wilson score upper bound of the risk (binomial), or
// exact binomial tests at positions fixed in advance (ltt).
#include "calibration.hpp"

#include "binomial_tail.hpp"
#include "number_format.hpp"
#include "total_order.hpp"
#include <algorithm>
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

// Positions are spaced evenly in square root: the rank of the threshold that meets a target
// wanders by about the square root of the rank from one calibration set to the next, so a finer
// grid buys nothing there, while a coarser one would waste acceptance on large tables.
constexpr double ltt_root_step = 2.0;

// The smallest position at which a test with the given share of the level can pass at all: with
// no error among k - 1 queries the tail is (1 - target)^(k - 1). Returns 0 when none can within
// scored positions.
std::uint64_t ltt_first_position(std::uint64_t scored, double target, double share) {
    // Any target of 1 or more is met by every policy; treat it as 1.
    const double needed = std::log(share) / std::log1p(-std::min(target, 1.0));
    if (!(needed < static_cast<double>(scored))) {
        return 0;
    }
    // needed may be 0 (a target of 1 or more) or negative zero; the first position is then 1.
    return 1 + static_cast<std::uint64_t>(std::ceil(std::max(needed, 0.0)));
}

// Whether count positions, the first one at first, fit within scored.
bool ltt_positions_fit(std::uint64_t scored, std::uint64_t first, std::uint64_t count) {
    return first != 0 &&
           std::sqrt(static_cast<double>(first)) + ltt_root_step * static_cast<double>(count - 1) <=
               std::sqrt(static_cast<double>(scored));
}

} // namespace

LttGrid::LttGrid(std::uint64_t scored, double target, double confidence_level) {
    if (scored == 0 || !(target > 0.0) || !ltt_level_is_valid(confidence_level)) {
        return;
    }
    const double risk = 1.0 - confidence_level;
    // More positions raise the bar for each; take the most that still fit after the first one
    // has moved up for its smaller share. Fitting shrinks as the count grows, so bisect.
    const auto fits = [&](std::uint64_t count) {
        const double share = risk / static_cast<double>(count);
        return ltt_positions_fit(scored, ltt_first_position(scored, target, share), count);
    };
    if (!fits(1)) {
        return;
    }
    std::uint64_t low = 1;
    std::uint64_t high =
        2 + static_cast<std::uint64_t>(std::sqrt(static_cast<double>(scored)) / ltt_root_step);
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (fits(middle)) {
            low = middle;
        } else {
            high = middle;
        }
    }
    count_ = low;
    share_ = risk / static_cast<double>(count_);
    first_root_ = std::sqrt(static_cast<double>(ltt_first_position(scored, target, share_)));
}

std::uint64_t LttGrid::position(std::uint64_t i) const {
    const double root = first_root_ + ltt_root_step * static_cast<double>(i);
    return static_cast<std::uint64_t>(std::llround(root * root));
}

bool LttGrid::has_position_in(std::uint64_t after, std::uint64_t up_to) const {
    if (count_ == 0 || up_to <= after) {
        return false;
    }
    // The last position at or below up_to, found from the square root and corrected for rounding.
    const double estimate =
        std::floor((std::sqrt(static_cast<double>(up_to)) - first_root_) / ltt_root_step);
    if (estimate < 0.0) {
        return position(0) <= up_to && position(0) > after;
    }
    std::uint64_t i = std::min(static_cast<std::uint64_t>(estimate), count_ - 1);
    while (i + 1 < count_ && position(i + 1) <= up_to) {
        ++i;
    }
    while (position(i) > up_to) {
        if (i == 0) {
            return false;
        }
        --i;
    }
    return position(i) > after;
}

bool ltt_level_is_valid(double confidence_level) {
    return confidence_level > 0.0 && confidence_level < 1.0;
}

std::string ltt_level_message(double confidence_level) {
    return "confidence_level must be between 0 and 1 for ltt method, got " +
           format_plain_shortest(confidence_level);
}

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

std::optional<double> select_ltt(std::span<const CurvePoint> points, double target,
                                 double confidence_level) {
    if (points.empty()) {
        return std::nullopt;
    }
    const LttGrid grid(points.back().accepted, target, confidence_level);
    if (grid.size() == 0) {
        return std::nullopt;
    }
    // A point answers for the positions among the queries it adds to the previous point: with
    // ties these are one group of equal confidence, accepted or refused together. Its test counts
    // every error it accepts against one query fewer than it accepts; for distinct confidences
    // that leaves out exactly the query at the threshold, whose own label is not drawn from the
    // queries above it.
    std::uint64_t previous = 0;
    return select_greatest_coverage(points, [&](const CurvePoint &point) {
        const std::uint64_t after = previous;
        previous = point.accepted;
        if (!grid.has_position_in(after, point.accepted)) {
            return false;
        }
        const double tail = binomial_lower_tail(point.errors, point.accepted - 1, target);
        return tail <= grid.level_per_position();
    });
}

} // namespace annotrove
