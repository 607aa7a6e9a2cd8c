// score_ratio: the best score as a multiple of the runner-up's.
#include <cmath>

#include "best_ranked.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> score_ratio(std::span<const Candidate> candidates) {
    const auto scores = top_two_scores(candidates);
    if (!scores) {
        return std::nullopt;
    }
    const auto [s1, s2] = *scores;
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
