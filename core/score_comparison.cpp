// Comparing score methods on one labelled table, with a paired percentile bootstrap.
//
// Each method's labelled queries are sorted by confidence once. A resample draws n labelled
// queries with replacement (n the number of labelled queries) and is represented by how often
// each query was drawn; every method walks its own sorted order once with those counts as
// weights. So a resample costs O(n) per method rather than a sort, and every method sees the
// same draw, which pairs the differences between methods.
#include "score_comparison.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "random_stream.hpp"
#include "table/query_groups.hpp"
#include "total_order.hpp"

namespace annotrove {

namespace {

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();
// Query numbers share a 32-bit word with the wrong-answer bit.
constexpr std::uint64_t most_labelled_queries = 0x7FFFFFFFU;

struct LabelledQuery {
    const QueryGroup *group = nullptr;
    bool correct = false;
};

struct RankedQuery {
    std::int64_t key = 0;
    double confidence = 0.0;
    std::uint32_t query = 0;
    bool present = false;
};

// One method's view of the labelled queries, strictest confidence first.
struct MethodOrder {
    // (query number << 1) | wrong, for the queries with a confidence.
    std::vector<std::uint32_t> entries;
    // Exclusive end of each run of equal confidences within `entries`.
    std::vector<std::uint32_t> run_ends;
    std::vector<CurvePoint> curve;
};

// Descending confidence by totalOrder, absent last; false on ties, which keeps the sort stable.
bool sorts_before(const RankedQuery &a, const RankedQuery &b) {
    if (a.present != b.present) {
        return a.present;
    }
    return a.present && a.key > b.key;
}

// The sort and the walk of the risk-coverage curve, keeping each query's number: runs of
// numerically equal confidences form one point, exactly as compute_curve builds its points.
MethodOrder order_method(std::span<const LabelledQuery> labelled, scoring::ScoringMethod method) {
    std::vector<RankedQuery> ranked(labelled.size());
    for (std::size_t i = 0; i < labelled.size(); ++i) {
        RankedQuery &query = ranked[i];
        query.query = static_cast<std::uint32_t>(i);
        const std::optional<double> confidence = scoring::score_query(*labelled[i].group, method);
        // A NaN confidence counts as absent, as on the curve.
        if (confidence && !std::isnan(*confidence)) {
            query.present = true;
            query.confidence = *confidence;
            query.key = total_order_key(*confidence);
        }
    }
    std::stable_sort(ranked.begin(), ranked.end(), sorts_before);

    MethodOrder order;
    const auto total = static_cast<std::uint64_t>(ranked.size());
    std::uint64_t accepted = 0;
    std::uint64_t errors = 0;
    std::size_t i = 0;
    while (i < ranked.size() && ranked[i].present) {
        const double threshold = ranked[i].confidence;
        while (i < ranked.size() && ranked[i].present && ranked[i].confidence == threshold) {
            const bool wrong = !labelled[ranked[i].query].correct;
            order.entries.push_back((ranked[i].query << 1U) | (wrong ? 1U : 0U));
            ++accepted;
            errors += wrong ? 1U : 0U;
            ++i;
        }
        order.run_ends.push_back(static_cast<std::uint32_t>(i));
        CurvePoint point;
        point.threshold = threshold;
        point.accepted = accepted;
        point.total = total;
        point.coverage = static_cast<double>(accepted) / static_cast<double>(total);
        point.errors = errors;
        point.risk = static_cast<double>(errors) / static_cast<double>(accepted);
        order.curve.push_back(point);
    }
    return order;
}

struct Summaries {
    double aurc = quiet_nan;
    double eaurc = quiet_nan;
    double augrc = quiet_nan;
    double auroc = quiet_nan;
};

// Weighted counts of the whole resample: every query drawn, the correct ones, the wrong ones.
struct DrawTotals {
    std::uint64_t total = 0;
    std::uint64_t correct = 0;
    std::uint64_t wrong = 0;
};

// E-AURC from the area and the last point's counts, by the rule of `eaurc`.
double excess_area(double area, std::uint64_t accepted, std::uint64_t errors,
                   std::uint64_t total) {
    if (std::isnan(area) || total == 0 || accepted < total) {
        return quiet_nan;
    }
    const double q = static_cast<double>(accepted - errors) / static_cast<double>(total);
    if (q <= 0.0 || q >= 1.0) {
        return quiet_nan;
    }
    return area - ((std::log(q) * q) + (1.0 - q));
}

// The failure AUROC from the doubled count of (correct, wrong) pairs the confidence orders
// rightly, ties counting one, out of all such pairs; NaN without one of each.
double pair_share(std::uint64_t doubled_wins, const DrawTotals &totals) {
    if (totals.correct == 0 || totals.wrong == 0) {
        return quiet_nan;
    }
    return static_cast<double>(doubled_wins) /
           (2.0 * static_cast<double>(totals.correct) * static_cast<double>(totals.wrong));
}

// The four summaries of the curve of a resample in which query q was drawn weights[q] times: one
// pass over the method's sorted order. A run none of whose queries was drawn is no point of the
// resampled curve; it adds nothing below (its width is 0 and its risk repeats the previous one).
// The AURC and E-AURC are computed point by point exactly as `aurc` and `eaurc` compute them on
// the curve of the resampled table; the AUGRC, whose generalized risk errors / total has a fixed
// denominator, is summed exactly in integers; the AUROC counts pairs in integers too.
Summaries weighted_summaries(const MethodOrder &order, std::span<const std::uint32_t> weights,
                             const DrawTotals &totals) {
    std::uint64_t accepted = 0;
    std::uint64_t errors = 0;
    // Sum over points of (errors before + errors after) · run weight: twice the AUGRC · total².
    std::uint64_t doubled_generalized_area = 0;
    std::uint64_t doubled_wins = 0;
    double area = 0.0;
    double previous_coverage = 0.0;
    double previous_risk = 0.0;
    const double total = static_cast<double>(totals.total);
    std::size_t k = 0;
    for (const std::uint32_t run_end : order.run_ends) {
        std::uint64_t run_weight = 0;
        std::uint64_t run_wrong = 0;
        for (; k < run_end; ++k) {
            const std::uint32_t entry = order.entries[k];
            const std::uint64_t weight = weights[entry >> 1U];
            run_weight += weight;
            run_wrong += weight & (0U - static_cast<std::uint64_t>(entry & 1U));
        }
        if (run_weight == 0) {
            continue;
        }
        const std::uint64_t run_correct = run_weight - run_wrong;
        // Wrong answers of this run lose to every correct one above it and tie with those in it.
        doubled_wins += run_wrong * ((2 * (accepted - errors)) + run_correct);
        doubled_generalized_area += ((2 * errors) + run_wrong) * run_weight;
        accepted += run_weight;
        errors += run_wrong;
        const double coverage = static_cast<double>(accepted) / total;
        const double risk = static_cast<double>(errors) / static_cast<double>(accepted);
        area += ((previous_risk + risk) * (coverage - previous_coverage)) * 0.5;
        previous_risk = risk;
        previous_coverage = coverage;
    }
    // Queries without a confidence rank below every scored one and tie among themselves.
    const std::uint64_t unscored_correct = totals.correct - (accepted - errors);
    const std::uint64_t unscored_wrong = totals.wrong - errors;
    doubled_wins += unscored_wrong * ((2 * (accepted - errors)) + unscored_correct);

    Summaries summaries;
    summaries.auroc = pair_share(doubled_wins, totals);
    if (accepted == 0) {
        return summaries;
    }
    summaries.aurc = area;
    summaries.eaurc = excess_area(area, accepted, errors, totals.total);
    summaries.augrc = static_cast<double>(doubled_generalized_area) / (2.0 * total * total);
    return summaries;
}

// The two percentile bounds at `level` of the values, by linear interpolation between order
// statistics (position (R - 1) · p for p = (1 - level) / 2 and (1 + level) / 2); NaN bounds when
// any value is NaN. Sorts the values.
Interval percentile_bounds(std::vector<double> &values, double level) {
    if (values.empty() || std::ranges::any_of(values, [](double v) { return std::isnan(v); })) {
        return {quiet_nan, quiet_nan};
    }
    std::ranges::sort(values);
    const auto at = [&](double share) {
        const double position = static_cast<double>(values.size() - 1) * share;
        const double below = std::floor(position);
        const auto index = static_cast<std::size_t>(below);
        if (index + 1 >= values.size()) {
            return values.back();
        }
        return values[index] + ((position - below) * (values[index + 1] - values[index]));
    };
    return {at((1.0 - level) * 0.5), at((1.0 + level) * 0.5)};
}

enum Statistic : std::size_t { Aurc, Eaurc, Augrc, Auroc, Difference, STATISTIC_COUNT };

struct ResampledValues {
    std::array<std::vector<double>, STATISTIC_COUNT> values;
};

// Draws resample `index`: the weight of each query, and the totals of the draw.
DrawTotals draw_resample(std::uint64_t seed, std::uint64_t index,
                         std::span<const LabelledQuery> labelled,
                         std::vector<std::uint32_t> &weights) {
    std::ranges::fill(weights, 0U);
    RandomStream stream(seed, index);
    const auto n = static_cast<std::uint64_t>(labelled.size());
    DrawTotals totals;
    totals.total = n;
    for (std::uint64_t draw = 0; draw < n; ++draw) {
        const std::uint64_t query = stream.below(n);
        ++weights[query];
        totals.correct += labelled[query].correct ? 1U : 0U;
    }
    totals.wrong = n - totals.correct;
    return totals;
}

bool excludes_zero(const Interval &interval) { return interval.low > 0.0 || interval.high < 0.0; }

} // namespace

Result<std::vector<ScoreComparison>>
compare_score_methods(std::span<const QueryGroup> groups,
                      std::span<const scoring::ScoringMethod> methods,
                      const ComparisonSettings &settings) {
    // Only the top candidate's label counts, as on the curve.
    std::vector<LabelledQuery> labelled;
    labelled.reserve(groups.size());
    for (const QueryGroup &group : groups) {
        const Candidate *top = table::top_candidate(group.candidates);
        const std::optional<bool> label = top == nullptr ? std::nullopt : top->is_correct();
        if (label) {
            labelled.push_back({&group, *label});
        }
    }
    if (labelled.size() > most_labelled_queries) {
        return std::unexpected(CoreError::too_many_to_resample());
    }
    const auto n = static_cast<std::uint64_t>(labelled.size());

    std::vector<MethodOrder> orders;
    orders.reserve(methods.size());
    std::vector<ScoreComparison> results(methods.size());
    const std::vector<std::uint32_t> unit_weights(labelled.size(), 1U);
    DrawTotals all;
    all.total = n;
    all.correct = static_cast<std::uint64_t>(
        std::ranges::count_if(labelled, [](const LabelledQuery &q) { return q.correct; }));
    all.wrong = n - all.correct;
    for (std::size_t m = 0; m < methods.size(); ++m) {
        orders.push_back(order_method(labelled, methods[m]));
        const MethodOrder &order = orders.back();
        ScoreComparison &result = results[m];
        result.request = m;
        result.method = methods[m];
        result.aurc = aurc(order.curve);
        result.eaurc = eaurc(order.curve);
        result.augrc = augrc(order.curve);
        result.auroc = weighted_summaries(order, unit_weights, all).auroc;
        result.scored = static_cast<std::uint64_t>(order.entries.size());
        result.labelled = n;
        result.top1_error =
            order.curve.empty() ? quiet_nan : order.curve.back().risk.value_or(quiet_nan);
    }

    // Lowest AURC first, NaN last; the stable sort keeps the request order among equals.
    std::vector<std::size_t> ranking(methods.size());
    for (std::size_t m = 0; m < ranking.size(); ++m) {
        ranking[m] = m;
    }
    std::ranges::stable_sort(ranking, [&](std::size_t a, std::size_t b) {
        const double x = results[a].aurc;
        const double y = results[b].aurc;
        if (std::isnan(x) || std::isnan(y)) {
            return !std::isnan(x) && std::isnan(y);
        }
        return x < y;
    });
    const std::size_t best = ranking.empty() ? 0 : ranking.front();
    for (ScoreComparison &result : results) {
        result.aurc_difference = result.aurc - results[best].aurc;
    }

    if (settings.resamples > 0 && !methods.empty()) {
        const std::uint64_t resamples = settings.resamples;
        std::vector<ResampledValues> resampled(methods.size());
        for (ResampledValues &values : resampled) {
            for (std::vector<double> &statistic : values.values) {
                statistic.resize(resamples, quiet_nan);
            }
        }
        // Without labelled queries there is nothing to draw: every value stays NaN.
        if (n > 0) {
            std::vector<std::uint32_t> weights(labelled.size());
            for (std::uint64_t i = 0; i < resamples; ++i) {
                const DrawTotals totals = draw_resample(settings.seed, i, labelled, weights);
                for (std::size_t m = 0; m < methods.size(); ++m) {
                    const Summaries s = weighted_summaries(orders[m], weights, totals);
                    std::array<std::vector<double>, STATISTIC_COUNT> &values =
                        resampled[m].values;
                    values[Aurc][i] = s.aurc;
                    values[Eaurc][i] = s.eaurc;
                    values[Augrc][i] = s.augrc;
                    values[Auroc][i] = s.auroc;
                }
                for (std::size_t m = 0; m < methods.size(); ++m) {
                    resampled[m].values[Difference][i] =
                        resampled[m].values[Aurc][i] - resampled[best].values[Aurc][i];
                }
            }
        }
        for (std::size_t m = 0; m < methods.size(); ++m) {
            std::array<std::vector<double>, STATISTIC_COUNT> &values = resampled[m].values;
            ScoreComparison &result = results[m];
            result.aurc_bounds = percentile_bounds(values[Aurc], settings.level);
            result.eaurc_bounds = percentile_bounds(values[Eaurc], settings.level);
            result.augrc_bounds = percentile_bounds(values[Augrc], settings.level);
            result.auroc_bounds = percentile_bounds(values[Auroc], settings.level);
            result.aurc_difference_bounds = percentile_bounds(values[Difference], settings.level);
            result.distinguishable = excludes_zero(*result.aurc_difference_bounds);
        }
    }

    std::vector<ScoreComparison> sorted;
    sorted.reserve(results.size());
    for (const std::size_t m : ranking) {
        sorted.push_back(std::move(results[m]));
        if (settings.keep_curves) {
            sorted.back().curve = std::move(orders[m].curve);
        }
    }
    return sorted;
}

} // namespace annotrove
