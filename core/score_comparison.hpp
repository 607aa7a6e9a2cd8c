// Comparing score methods on one labelled table: each method's curve summaries with percentile
// bootstrap intervals, and its paired difference in AURC to the best method.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "candidate.hpp"
#include "curve_point.hpp"
#include "error.hpp"
#include "scoring/scoring_method.hpp"

namespace annotrove {

struct ComparisonSettings {
    // Zero skips the bootstrap: point values only, no bounds.
    std::uint64_t resamples = 2000;
    // Two-sided level of every interval, in (0, 1).
    double level = 0.95;
    std::uint64_t seed = 0;
    // Keep each method's curve points in its result (for plots and point files).
    bool keep_curves = false;
    // At most this many threads resample (1: the calling thread alone). The result never depends
    // on it: resample i always draws from its own stream and lands in its own slot.
    std::size_t threads = 1;
};

// Percentile bootstrap bounds; both NaN when the value is undefined in some resample (for example
// a resample without a single wrong top candidate has no failure AUROC).
struct Interval {
    double low = 0.0;
    double high = 0.0;
};

struct ScoreComparison {
    // Position of the method in the list asked for, which names it.
    std::size_t request = 0;
    scoring::ScoringMethod method = scoring::ScoringMethod::MaxProb;
    double aurc = 0.0;
    double eaurc = 0.0;
    double augrc = 0.0;
    // P(a correct top candidate has a higher confidence than a wrong one), ties counting one half
    // and queries without a confidence lowest of all.
    double auroc = 0.0;
    // Bounds are absent when no resample was drawn.
    std::optional<Interval> aurc_bounds;
    std::optional<Interval> eaurc_bounds;
    std::optional<Interval> augrc_bounds;
    std::optional<Interval> auroc_bounds;
    std::uint64_t scored = 0;
    std::uint64_t labelled = 0;
    // Share of wrong top candidates among the scored queries; NaN when none is scored.
    double top1_error = 0.0;
    // This method's AURC minus the best method's, both on the same resampled queries.
    double aurc_difference = 0.0;
    std::optional<Interval> aurc_difference_bounds;
    // Whether the difference's interval excludes 0; absent when no resample was drawn.
    std::optional<bool> distinguishable;
    std::vector<CurvePoint> curve;
};

// One result per requested method, lowest AURC first, NaN last, ties in request order. Fails only
// when the table has more labelled queries than the resampler counts (2^31 - 1).
Result<std::vector<ScoreComparison>>
compare_score_methods(std::span<const QueryGroup> groups,
                      std::span<const scoring::ScoringMethod> methods,
                      const ComparisonSettings &settings);

} // namespace annotrove
