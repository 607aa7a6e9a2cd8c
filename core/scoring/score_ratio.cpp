// score_ratio: the best score as a multiple of the runner-up's.
#include <cmath>

#include "best_ranked.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> score_ratio(std::span<const Candidate> candidates) {
    const BestRanked<2> best = best_ranked<2>(candidates);
    if (best.count < 2) {
        return std::nullopt;
    }
    const double s1 = best[0].score;
    const double s2 = best[1].score;
    if (std::isnan(s1) || std::isnan(s2)) {
        return std::nullopt;
    }
    // A ratio only means "how many times better" for a positive divisor; both zeros included.
    if (s2 <= 0.0) {
        return std::nullopt;
    }
    const double ratio = s1 / s2;
    if (!std::isfinite(ratio)) {
        return std::nullopt;
    }
    return ratio;
}

} // namespace annotrove::scoring
