// Accepting or rejecting each query's top candidate under a policy.
#include "apply_policy.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "table/query_groups.hpp"

namespace annotrove {

namespace {

// A per-group threshold applies only when the top candidate names a group that the policy holds;
// every other case falls back to the policy's own threshold. The table reader never fills
// `group`, so today this always falls back.
double threshold_for(const PolicyFile &policy, const Candidate &top, const TextArena &texts) {
    if (top.group.has_value() && policy.group_thresholds && !policy.group_thresholds->empty()) {
        const auto entry = policy.group_thresholds->find(std::string(texts.view(top.group)));
        if (entry != policy.group_thresholds->end()) {
            return entry->second;
        }
    }
    return policy.threshold;
}

} // namespace

std::optional<Decision> decide_query(const PolicyFile &policy, const QueryGroup &group,
                                     const TextArena &texts) {
    const Candidate *top = table::top_candidate(group);
    if (top == nullptr) {
        return std::nullopt;
    }
    const std::optional<double> confidence = scoring::score_query(group, policy.scoring_method);
    Decision decision;
    decision.query_id = group.query_id;
    decision.candidate_id = texts.view(top->candidate_id);
    decision.method = scoring::display_name(policy.scoring_method);
    // A query the method cannot score is reported, with NaN, and rejected; never an error.
    decision.confidence = confidence.value_or(std::numeric_limits<double>::quiet_NaN());
    decision.threshold = threshold_for(policy, *top, texts);
    // Only finite confidences are accepted: an infinite one says the method broke down, and the
    // comparison is false for a NaN threshold.
    decision.accepted =
        std::isfinite(decision.confidence) && decision.confidence >= decision.threshold;
    return decision;
}

} // namespace annotrove
