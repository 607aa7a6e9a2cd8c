// max_prob: the top candidate's own probability.
#include <cmath>

#include "../table/query_groups.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> max_prob(std::span<const Candidate> candidates) {
    // Deliberately the top candidate's value, not the largest probability of the query: the
    // confidence is about the answer that would be reported.
    const Candidate *top = table::top_candidate(candidates);
    if (top == nullptr || !top->probability() || std::isnan(*top->probability())) {
        return std::nullopt;
    }
    return top->probability();
}

} // namespace annotrove::scoring
