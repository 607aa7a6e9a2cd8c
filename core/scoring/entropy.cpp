// entropy: one minus the Shannon entropy of the probabilities, normalised by its maximum ln n.
#include <cmath>

#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> entropy(std::span<const Candidate> candidates) {
    const std::size_t n = candidates.size();
    if (n == 0) {
        return std::nullopt;
    }
    // A lone candidate is as certain as it gets, and ln 1 = 0 would divide by zero.
    if (n == 1) {
        return 1.0;
    }
    const std::optional<double> h = entropy_sum(candidates);
    if (!h) {
        return std::nullopt;
    }
    const double confidence = 1.0 - *h / std::log(static_cast<double>(n));
    if (!std::isfinite(confidence)) {
        return std::nullopt;
    }
    return confidence;
}

} // namespace annotrove::scoring
