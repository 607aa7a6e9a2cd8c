// top_k_gap: the best score's lead over the mean of the next few.
#include <cmath>

#include "best_ranked.hpp"
#include "methods.hpp"

namespace annotrove::scoring {

namespace {

constexpr std::size_t TOP_K = 5;

} // namespace

std::optional<double> top_k_gap(std::span<const Candidate> candidates) {
    // Candidates past the first TOP_K in rank order are never looked at, NaN scores included.
    const BestRanked<TOP_K> best = best_ranked<TOP_K>(candidates);
    const std::size_t k = best.count;
    if (k < 2) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < k; ++i) {
        if (std::isnan(best[i].score)) {
            return std::nullopt;
        }
    }
    // Rank order, one term at a time, from -0.0: the exact additive identity, where 0.0 would
    // turn a sum of negative zeros into +0.0.
    double sum = -0.0;
    for (std::size_t i = 1; i < k; ++i) {
        sum = sum + best[i].score;
    }
    const double mean = sum / static_cast<double>(k - 1);
    return best[0].score - mean;
}

} // namespace annotrove::scoring
