// score_gap: how far the best score leads the runner-up.
#include <cmath>

#include "best_ranked.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> score_gap(std::span<const Candidate> candidates) {
    const BestRanked<2> best = best_ranked<2>(candidates);
    if (best.count < 2) {
        return std::nullopt;
    }
    const double s1 = best[0].score;
    const double s2 = best[1].score;
    if (std::isnan(s1) || std::isnan(s2)) {
        return std::nullopt;
    }
    // Passed on even when not finite (inf - inf is NaN); the curve and the policy deal with it.
    return s1 - s2;
}

} // namespace annotrove::scoring
