// effective_k: the reciprocal of the perplexity exp(H), the effective number of candidates.
#include <cmath>

#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> effective_k(std::span<const Candidate> candidates) {
    if (candidates.empty()) {
        return std::nullopt;
    }
    // No lone-candidate case: exp(p ln p) is what the formula gives, and 1.0 for p = 0.
    const std::optional<double> h = entropy_sum(candidates);
    if (!h) {
        return std::nullopt;
    }
    const double confidence = std::exp(-*h);
    if (!std::isfinite(confidence)) {
        return std::nullopt;
    }
    return confidence;
}

} // namespace annotrove::scoring
