#include "curve_point.hpp"

#include <cmath>
#include <limits>

namespace annotrove {

namespace {

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

// Trapezoids from the origin, accumulated one segment at a time in list order; a curve edited
// by hand may run backwards, and then its segments subtract.
double area(std::span<const CurvePoint> points) {
    double sum = 0.0;
    double previous_coverage = 0.0;
    double previous_risk = 0.0;
    for (const CurvePoint &point : points) {
        const double risk = point.risk.value_or(0.0);
        sum += ((previous_risk + risk) * (point.coverage - previous_coverage)) * 0.5;
        previous_risk = risk;
        previous_coverage = point.coverage;
    }
    return sum;
}

// The generalized risk of a point: the share of all queries, not of the accepted ones, whose top
// candidate was accepted and is wrong (Traub et al. 2024). It stays defined at low coverage, where
// errors / accepted rests on a handful of queries.
double generalized_risk(const CurvePoint &point) {
    if (point.total == 0) {
        return 0.0;
    }
    return static_cast<double>(point.errors) / static_cast<double>(point.total);
}

} // namespace

double aurc(std::span<const CurvePoint> points) {
    if (points.empty()) {
        return quiet_nan;
    }
    return area(points);
}

// E-AURC (Geifman et al.): the area minus that of a perfect ordering at the same overall error
// rate r, which is r + (1 - r) ln(1 - r), written here with q = 1 - r.
double eaurc(std::span<const CurvePoint> points) {
    if (points.empty()) {
        return quiet_nan;
    }
    const double sum = area(points);
    if (std::isnan(sum)) {
        return quiet_nan;
    }
    const CurvePoint &last = points.back();
    if (last.total == 0 || last.accepted < last.total) {
        return quiet_nan;
    }
    const std::uint64_t correct = last.errors > last.accepted ? 0 : last.accepted - last.errors;
    const double q = static_cast<double>(correct) / static_cast<double>(last.total);
    if (q <= 0.0 || q >= 1.0) {
        return quiet_nan;
    }
    const double optimal = (std::log(q) * q) + (1.0 - q);
    return sum - optimal;
}

// The same trapezoids as `area`, in the same order and grouping, over the generalized risk.
double augrc(std::span<const CurvePoint> points) {
    if (points.empty()) {
        return quiet_nan;
    }
    double sum = 0.0;
    double previous_coverage = 0.0;
    double previous_risk = 0.0;
    for (const CurvePoint &point : points) {
        const double risk = generalized_risk(point);
        sum += ((previous_risk + risk) * (point.coverage - previous_coverage)) * 0.5;
        previous_risk = risk;
        previous_coverage = point.coverage;
    }
    return sum;
}

} // namespace annotrove
