// Choosing the acceptance threshold from a risk-coverage curve: the observed risk (empirical), a
// finite-sample corrected target (crc), the Wilson score upper bound of the risk (binomial), or
// exact binomial tests walked in fixed sequences from places fixed in advance (ltt).
#include "calibration.hpp"

#include "binomial_tail.hpp"
#include "number_format.hpp"
#include "total_order.hpp"
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

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

// The shares of 1 - level kept by the main sequence and split by the rescue sequences.
constexpr double ltt_main_share = 0.85;
constexpr double ltt_rescue_share = 0.15;
// Each rescue sequence starts three times further down than the one before.
constexpr std::uint64_t ltt_rescue_step = 3;

// T(level, errors): the smallest size m at which errors errors or fewer among m queries are
// unlikely enough, P(Binomial(m, target) <= errors) <= level. Sizes beyond cap are all alike to
// the caller, so the search stops there and answers cap + 1. The tail falls as m grows; it is 1
// up to m = errors.
std::uint64_t smallest_passing_size(std::uint64_t errors, double target, double level,
                                    std::uint64_t cap) {
    const auto passes = [&](std::uint64_t size) {
        return binomial_lower_tail(errors, size, target) <= level;
    };
    if (cap <= errors) {
        return cap + 1;
    }
    // Gallop up from the last size known to fail, then bisect between it and the first pass.
    std::uint64_t failing = errors;
    std::uint64_t step = 1;
    std::uint64_t passing = 0;
    while (passing == 0) {
        const std::uint64_t size = cap - failing <= step ? cap : failing + step;
        if (passes(size)) {
            passing = size;
        } else if (size == cap) {
            return cap + 1;
        } else {
            failing = size;
            step *= 2;
        }
    }
    while (passing - failing > 1) {
        const std::uint64_t middle = failing + (passing - failing) / 2;
        if (passes(middle)) {
            passing = middle;
        } else {
            failing = middle;
        }
    }
    return passing;
}

// start(level): one place below the first size at which one error could pass, when that is
// within the top tenth of the set, else one below the first size at which none could. Allowing
// one error costs a later start, worth it only where the set is large compared with it.
std::uint64_t ltt_start(std::uint64_t scored, double target, double level) {
    const std::uint64_t with_one_error = 1 + smallest_passing_size(1, target, level, scored);
    if (with_one_error <= scored / 10) {
        return with_one_error;
    }
    return 1 + smallest_passing_size(0, target, level, scored);
}

// The threshold of "accept every confidence above the one of points[next]", or of "accept all"
// when next is past the last point that adds queries: in this module's terms, c >= threshold.
double threshold_accepting_through(std::span<const CurvePoint> points, std::size_t last) {
    for (std::size_t next = last + 1; next < points.size(); ++next) {
        if (points[next].accepted > points[last].accepted) {
            // The next double above the next lower confidence, so that new queries whose
            // confidence falls between the two calibration values are accepted as well.
            return std::nextafter(points[next].threshold, std::numeric_limits<double>::infinity());
        }
    }
    return points[last].threshold;
}

// The index of the last point that the sequence passes, or none. Points that add no queries to
// the ones before them (no computed curve has them) are passed over.
std::optional<std::size_t> run_ltt_sequence(std::span<const CurvePoint> points,
                                            const LttSequence &sequence, double target) {
    // The tie block holding the start place, and the counts of the point before it.
    std::uint64_t accepted_before = 0;
    std::uint64_t errors_before = 0;
    std::size_t block = 0;
    for (; block < points.size(); ++block) {
        const CurvePoint &point = points[block];
        if (point.accepted <= accepted_before) {
            continue;
        }
        if (point.accepted >= sequence.start) {
            break;
        }
        accepted_before = point.accepted;
        errors_before = point.errors;
    }
    if (block == points.size()) {
        return std::nullopt;
    }
    // The gate: the start - 1 places above the start, with the block's errors put first among its
    // tied places, the order least favourable to passing, so that the file order cannot matter.
    const std::uint64_t block_errors =
        points[block].errors > errors_before ? points[block].errors - errors_before : 0;
    const std::uint64_t tied_above = sequence.start - 1 - accepted_before;
    const std::uint64_t errors_above = errors_before + std::min(tied_above, block_errors);
    if (!(binomial_lower_tail(errors_above, sequence.start - 1, target) <= sequence.level)) {
        return std::nullopt;
    }
    // Every distinct confidence from the block down, stopping at the first failure. The tail
    // falls as the accepted count grows and rises with the errors, so once e errors have passed
    // among some count, e or fewer pass among any larger count without another tail.
    std::optional<std::size_t> last_passed;
    std::optional<std::uint64_t> errors_known_to_pass;
    std::uint64_t accepted_so_far = accepted_before;
    for (std::size_t i = block; i < points.size(); ++i) {
        const CurvePoint &point = points[i];
        if (point.accepted <= accepted_so_far) {
            continue;
        }
        accepted_so_far = point.accepted;
        if (!errors_known_to_pass || point.errors > *errors_known_to_pass) {
            if (!(binomial_lower_tail(point.errors, point.accepted, target) <= sequence.level)) {
                break;
            }
            errors_known_to_pass = point.errors;
        }
        last_passed = i;
    }
    return last_passed;
}

} // namespace

LttPlan::LttPlan(std::uint64_t scored, double target, double confidence_level) {
    if (scored == 0 || !(target > 0.0) || !ltt_level_is_valid(confidence_level)) {
        return;
    }
    const double risk = 1.0 - confidence_level;
    const double main_level = ltt_main_share * risk;
    const std::uint64_t main_start = ltt_start(scored, target, main_level);
    // Rescue starts, fixed like the main one: they catch the sets whose most confident queries
    // are mostly wrong, where the main gate fails, at the price of their own share of the risk.
    std::vector<std::uint64_t> rescue_starts;
    for (std::uint64_t start = ltt_rescue_step * main_start; start <= scored / 2;
         start *= ltt_rescue_step) {
        rescue_starts.push_back(start);
    }
    if (rescue_starts.empty()) {
        sequences_.push_back({ltt_start(scored, target, risk), risk});
        return;
    }
    const double rescue_level = ltt_rescue_share * risk / static_cast<double>(rescue_starts.size());
    const std::uint64_t earliest_rescue = 1 + smallest_passing_size(0, target, rescue_level, scored);
    sequences_.push_back({main_start, main_level});
    for (const std::uint64_t start : rescue_starts) {
        sequences_.push_back({std::max(start, earliest_rescue), rescue_level});
    }
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
    // Every policy meets a target of 1 or more, whatever the data: accept all.
    if (target >= 1.0 && ltt_level_is_valid(confidence_level)) {
        return threshold_accepting_through(points, points.size() - 1);
    }
    const LttPlan plan(points.back().accepted, target, confidence_level);
    // The sequences' levels add up to 1 - level; the union bound over them keeps the promise for
    // the most accepting of their outputs.
    std::optional<std::size_t> selected;
    for (const LttSequence &sequence : plan.sequences()) {
        const std::optional<std::size_t> output = run_ltt_sequence(points, sequence, target);
        if (output && (!selected || *output > *selected)) {
            selected = output;
        }
    }
    if (!selected) {
        return std::nullopt;
    }
    return threshold_accepting_through(points, *selected);
}

} // namespace annotrove
