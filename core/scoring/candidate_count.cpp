// candidate_count: fewer proposals means more trust, as 1/n.
#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> candidate_count(std::span<const Candidate> candidates) {
    if (candidates.empty()) {
        return std::nullopt;
    }
    return 1.0 / static_cast<double>(candidates.size());
}

} // namespace annotrove::scoring
