// Accepting or rejecting each query's top candidate under a policy.
#include "apply_policy.hpp"

#include <cmath>
#include <limits>

#include "table/query_groups.hpp"

namespace annotrove {

std::optional<Decision> decide_query(const PolicyFile &policy, const QueryGroup &group) {
    const Candidate *top = table::top_candidate(group.candidates);
    if (top == nullptr) {
        return std::nullopt;
    }
    const std::optional<double> confidence = scoring::score_query(group, policy.scoring_method);
    Decision decision;
    decision.query_id = group.query_id;
    decision.candidate_id = group.top_candidate_id;
    decision.method = scoring::display_name(policy.scoring_method);
    // A query the method cannot score is reported, with NaN, and rejected; never an error.
    decision.confidence = confidence.value_or(std::numeric_limits<double>::quiet_NaN());
    // A per-group threshold would need the top candidate's group, which no column of the table
    // fills; the policy's own threshold always applies.
    decision.threshold = policy.threshold;
    // Only finite confidences are accepted: an infinite one says the method broke down, and the
    // comparison is false for a NaN threshold.
    decision.accepted =
        std::isfinite(decision.confidence) && decision.confidence >= decision.threshold;
    return decision;
}

} // namespace annotrove
