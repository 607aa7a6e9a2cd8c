// Exact binomial tail probabilities, for bounds that must hold at every sample size.
#pragma once

#include <cstdint>

namespace annotrove {

// P(X <= successes) for X ~ Binomial(trials, p), in double precision. It goes through the
// regularized incomplete beta function, with the normalising factor in log space and a continued
// fraction, never summing terms one by one, so it keeps its relative accuracy (about 1e-13 at
// moderate n, 1e-10 with trials in the millions, where the rounding of 1 - p itself dominates)
// for tails down to the edge of underflow.
// p at or below 0 counts as 0, at or above 1 as 1; NaN gives NaN.
double binomial_lower_tail(std::uint64_t successes, std::uint64_t trials, double p);

// I_x(a, b), the regularized incomplete beta function, for a, b > 0; y must be 1 - x, passed
// separately so that a caller holding the small one of the two does not lose it to rounding.
double regularized_incomplete_beta(double a, double b, double x, double y);

} // namespace annotrove
