// margin: the probability lead of the best-ranked candidate over the second.
#include <cmath>

#include "best_ranked.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> margin(std::span<const Candidate> candidates) {
    const BestRanked<2> best = best_ranked<2>(candidates);
    if (best.count < 2 || !best[0].probability() || !best[1].probability()) {
        return std::nullopt;
    }
    const double p1 = *best[0].probability();
    const double p2 = *best[1].probability();
    if (std::isnan(p1) || std::isnan(p2)) {
        return std::nullopt;
    }
    // Like score_gap, a non-finite difference of infinite probabilities is passed on.
    return p1 - p2;
}

} // namespace annotrove::scoring
