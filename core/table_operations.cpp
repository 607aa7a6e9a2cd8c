#include "table_operations.hpp"

#include <algorithm>
#include <utility>

#include "risk_coverage.hpp"
#include "table/csv_reader.hpp"
#include "table/query_groups.hpp"

namespace annotrove {

Result<std::vector<CurvePoint>> curve_of_table(std::string_view csv_path,
                                               scoring::ScoringMethod method) {
    Result<CandidateTable> table = table::read_candidates(csv_path);
    if (!table) {
        return std::unexpected(table.error());
    }
    const QueryGroups groups = table::group_by_query(std::move(*table));
    return risk_coverage_curve(groups.groups, method);
}

Result<TableDecisions> decide_table(std::string_view csv_path, const PolicyFile &policy) {
    Result<CandidateTable> table = table::read_candidates(csv_path);
    if (!table) {
        return std::unexpected(table.error());
    }
    const QueryGroups groups = table::group_by_query(std::move(*table));
    std::vector<Decision> decisions;
    decisions.reserve(groups.groups.size());
    std::size_t text_bytes = 0;
    for (const QueryGroup &group : groups.groups) {
        if (std::optional<Decision> decision = decide_query(policy, group, groups.texts)) {
            text_bytes += decision->query_id.size() + decision->candidate_id.size();
            decisions.push_back(*decision);
        }
    }
    // Copy the two ids of each decision out of the table, which is released on return. The
    // buffer is sized first so that the views taken into it stay valid.
    TableDecisions result;
    result.texts.resize(text_bytes);
    char *cursor = result.texts.data();
    const auto copy_out = [&cursor](std::string_view text) {
        std::copy(text.begin(), text.end(), cursor);
        const std::string_view copied(cursor, text.size());
        cursor += text.size();
        return copied;
    };
    for (Decision &decision : decisions) {
        decision.query_id = copy_out(decision.query_id);
        decision.candidate_id = copy_out(decision.candidate_id);
    }
    result.decisions = std::move(decisions);
    return result;
}

} // namespace annotrove
