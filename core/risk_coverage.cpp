// The risk-coverage curve of a labelled table under one score method.
#include "risk_coverage.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "table/query_groups.hpp"
#include "total_order.hpp"

namespace annotrove {

namespace {

// Lists this short are sorted by insertion, longer ones by the library's stable sort.
constexpr std::size_t insertion_sort_limit = 20;

struct ScoredQuery {
    // Confidences as IEEE 754 totalOrder keys; meaningful only when `present`.
    std::int64_t key = 0;
    double confidence = 0.0;
    bool present = false;
    bool correct = false;
};

// Descending confidence, absent last; false on ties, which keeps the sort stable.
bool sorts_before(const ScoredQuery &a, const ScoredQuery &b) {
    if (a.present != b.present) {
        return a.present;
    }
    return a.present && a.key > b.key;
}

void sort_by_confidence(std::vector<ScoredQuery> &queries) {
    if (queries.size() <= insertion_sort_limit) {
        for (std::size_t i = 1; i < queries.size(); ++i) {
            const ScoredQuery current = queries[i];
            std::size_t j = i;
            while (j > 0 && sorts_before(current, queries[j - 1])) {
                queries[j] = queries[j - 1];
                --j;
            }
            queries[j] = current;
        }
    } else {
        std::stable_sort(queries.begin(), queries.end(), sorts_before);
    }
}

} // namespace

std::vector<CurvePoint> risk_coverage_curve(std::span<const QueryGroup> groups,
                                            scoring::ScoringMethod method) {
    std::vector<ScoredQuery> queries;
    queries.reserve(groups.size());
    for (const QueryGroup &group : groups) {
        const Candidate *top = table::top_candidate(group.candidates);
        // Only the top candidate's label counts: the curve asks whether the reported answer is
        // right, so a query whose reported answer is unlabelled carries no evidence.
        const std::optional<bool> label = top == nullptr ? std::nullopt : top->is_correct();
        if (!label) {
            continue;
        }
        ScoredQuery query;
        query.correct = *label;
        const std::optional<double> confidence = scoring::score_query(group, method);
        // A present NaN (score_gap, margin or top_k_gap where infinities meet) is treated like an
        // absent confidence: it counts in the total, is never accepted and sorts after every
        // number. A NaN equals nothing, so it could not form a run of the walk below, and as a
        // policy threshold it could never accept a query. This keeps every point at least one
        // query strong and the walk finite.
        if (confidence && !std::isnan(*confidence)) {
            query.present = true;
            query.confidence = *confidence;
            query.key = total_order_key(*confidence);
        }
        queries.push_back(query);
    }

    std::vector<CurvePoint> points;
    const std::size_t n = queries.size();
    if (n == 0) {
        return points;
    }
    sort_by_confidence(queries);

    // Each run of numerically equal confidences (so +0.0 and -0.0 together) becomes one point,
    // thresholded at the first confidence of the run; counts are cumulative. Equal values are
    // adjacent because the totalOrder sort only separates +0.0 from -0.0 among equal numbers.
    const auto total = static_cast<std::uint64_t>(n);
    std::uint64_t accepted = 0;
    std::uint64_t errors = 0;
    std::size_t i = 0;
    while (i < n && queries[i].present) {
        const double threshold = queries[i].confidence;
        while (i < n && queries[i].present && queries[i].confidence == threshold) {
            ++accepted;
            if (!queries[i].correct) {
                ++errors;
            }
            ++i;
        }
        CurvePoint point;
        point.threshold = threshold;
        point.accepted = accepted;
        point.total = total;
        point.coverage = static_cast<double>(accepted) / static_cast<double>(total);
        point.errors = errors;
        point.risk = static_cast<double>(errors) / static_cast<double>(accepted);
        points.push_back(point);
    }
    return points;
}

} // namespace annotrove
