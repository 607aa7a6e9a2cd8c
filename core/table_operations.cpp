#include "table_operations.hpp"

#include <utility>

#include "risk_coverage.hpp"
#include "table/query_groups.hpp"

namespace annotrove {

Result<std::vector<CurvePoint>> curve_of_table(const table::TableSource &source,
                                               scoring::ScoringMethod method,
                                               const table::ReadOptions &read) {
    // The curve does not depend on the order of the queries (their confidences are sorted, ties
    // counted together), so they are taken as they come.
    const Result<QueryGroups> groups =
        table::read_query_groups(source,
                                 table::GroupingOptions{
                                     .sorted_by_id = false,
                                     .scores = scoring::reads_scores(method),
                                     .probabilities = scoring::reads_probabilities(method),
                                 },
                                 read);
    if (!groups) {
        return std::unexpected(groups.error());
    }
    return risk_coverage_curve(groups->groups, method);
}

namespace {

// The table a comparison reads. Its queries are taken in the order they lie in memory: the
// comparison numbers them itself, from their content.
Result<QueryGroups> comparison_groups(const table::TableSource &source,
                                      const table::ReadOptions &read) {
    return table::read_query_groups(source, table::GroupingOptions{.sorted_by_id = false}, read);
}

} // namespace

Result<std::vector<ScoreComparison>>
compare_scores_of_table(const table::TableSource &source,
                        std::span<const scoring::ScoringMethod> methods,
                        const ComparisonSettings &settings, const table::ReadOptions &read) {
    const Result<QueryGroups> groups = comparison_groups(source, read);
    if (!groups) {
        return std::unexpected(groups.error());
    }
    return compare_score_methods(groups->groups, methods, settings);
}

Result<TableDecisions> decide_table(const table::TableSource &source, const PolicyFile &policy,
                                    const table::ReadOptions &read) {
    Result<QueryGroups> groups =
        table::read_query_groups(
            source,
            table::GroupingOptions{
                .top_candidate_ids = true,
                .scores = scoring::reads_scores(policy.scoring_method),
                .probabilities = scoring::reads_probabilities(policy.scoring_method),
            },
            read);
    if (!groups) {
        return std::unexpected(groups.error());
    }
    std::vector<Decision> decisions;
    decisions.reserve(groups->groups.size());
    for (const QueryGroup &group : groups->groups) {
        if (std::optional<Decision> decision = decide_query(policy, group)) {
            decisions.push_back(*decision);
        }
    }
    // The decisions' ids are views into the groups' text storage; moving the vector hands that
    // storage over unchanged, and the rows are released on return.
    TableDecisions result;
    result.texts = std::move(groups->texts);
    result.decisions = std::move(decisions);
    return result;
}

} // namespace annotrove
