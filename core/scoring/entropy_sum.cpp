// The Shannon entropy sum shared by the entropy and effective_k methods.
#include <cmath>

#include "methods.hpp"

namespace annotrove::scoring {

std::optional<double> entropy_sum(std::span<const Candidate> candidates) {
    // File order, one term at a time: the rank order would change the rounding of the sum.
    // Probabilities are taken as stored, neither normalised nor range-checked.
    double sum = 0.0;
    for (const Candidate &candidate : candidates) {
        if (!candidate.probability()) {
            return std::nullopt;
        }
        const double p = *candidate.probability();
        // 0 ln 0 is taken as its limit 0; only an exact zero, so a denormal still gets its term.
        const double term = p == 0.0 ? 0.0 : -p * std::log(p);
        sum = sum + term;
    }
    return sum;
}

} // namespace annotrove::scoring
