// score_gap: how far the best score leads the runner-up.
#include "best_ranked.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> score_gap(std::span<const Candidate> candidates) {
    const auto scores = top_two_scores(candidates);
    if (!scores) {
        return std::nullopt;
    }
    const auto [s1, s2] = *scores;
    // Passed on even when not finite (inf - inf is NaN); the curve and the policy deal with it.
    return s1 - s2;
}

} // namespace annotrove::scoring
