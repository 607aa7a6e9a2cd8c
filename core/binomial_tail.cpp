// Binomial tails through the regularized incomplete beta function:
//   P(X <= k) = I_{1-p}(n - k, k + 1)   for X ~ Binomial(n, p), k < n.
// The factor x^a y^b / (a B(a, b)) is formed in log space from Stirling's series with its error
// term, so that no log-gamma values of size n log n are subtracted from each other; the rest is
// the classic continued fraction evaluated by the modified Lentz method.
#include "binomial_tail.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace annotrove {

namespace {

constexpr double half_log_two_pi = 0.91893853320467274178032973640562;

// log Gamma(x) - ((x - 1/2) log x - x + log(2 pi)/2), the error of Stirling's formula.
double stirling_error(double x) {
    // Below 15 the series is not accurate enough; step up with
    //   s(x) = s(x + 1) + (x + 1/2) log(1 + 1/x) - 1.
    double shift = 0.0;
    while (x < 15.0) {
        shift += (x + 0.5) * std::log1p(1.0 / x) - 1.0;
        x += 1.0;
    }
    const double inverse = 1.0 / x;
    const double inverse2 = inverse * inverse;
    // 1/12x - 1/360x^3 + 1/1260x^5 - 1/1680x^7 + 1/1188x^9 - 691/360360x^11 + 1/156x^13
    double series = 1.0 / 156.0;
    series = series * inverse2 - 691.0 / 360360.0;
    series = series * inverse2 + 1.0 / 1188.0;
    series = series * inverse2 - 1.0 / 1680.0;
    series = series * inverse2 + 1.0 / 1260.0;
    series = series * inverse2 - 1.0 / 360.0;
    series = series * inverse2 + 1.0 / 12.0;
    return shift + series * inverse;
}

// v log(v / w) for v, w > 0, computed through log1p when the ratio is near 1 so that the large
// opposite terms of a deviance keep their relative accuracy. difference must be v - w.
double x_log_ratio(double v, double w, double difference) {
    const double relative = difference / w;
    if (std::fabs(relative) < 0.5) {
        return v * std::log1p(relative);
    }
    return v * std::log(v / w);
}

// log(x^a y^b / B(a, b)) for a, b > 0 and x + y = 1.
double log_beta_factor(double a, double b, double x, double y) {
    const double c = a + b;
    // a log(x c / a) + b log(y c / b) = -(a log(a / xc) + b log(b / yc)). The smaller of x and y
    // is the exact one and the other was rounded; the products and the difference a - xc =
    // yc - b = -(b - yc) are all formed from the exact one, since a or b multiplies any error.
    const bool x_exact = x <= y;
    const double xc = x_exact ? x * c : c - y * c;
    const double yc = x_exact ? c - xc : y * c;
    const double difference = x_exact ? a - xc : yc - b;
    const double deviance = x_log_ratio(a, xc, difference) + x_log_ratio(b, yc, -difference);
    return -deviance + 0.5 * std::log(a * b / c) - half_log_two_pi + stirling_error(c) -
           stirling_error(a) - stirling_error(b);
}

// The continued fraction of I_x(a, b) (without its leading factor), modified Lentz method. It
// converges quickly for x < (a + 1) / (a + b + 2), in O(sqrt(max(a, b))) steps at worst.
double beta_continued_fraction(double a, double b, double x, double y) {
    constexpr double tiny = 1e-300;
    constexpr double epsilon = std::numeric_limits<double>::epsilon();
    const double sum = a + b;
    const double up = a + 1.0;
    const double down = a - 1.0;
    double c = 1.0;
    // 1 - sum x / up. Of x and y = 1 - x the smaller one is the exact input and the other was
    // rounded; with x near 1 and a large, the direct form would cancel away the digits of y that
    // the result depends on, so it is rewritten in y.
    double d = x <= y ? 1.0 - sum * x / up : (1.0 - b + sum * y) / up;
    if (std::fabs(d) < tiny) {
        d = tiny;
    }
    d = 1.0 / d;
    double fraction = d;
    // One step of the recurrence: the factor by which the fraction changes.
    const auto step = [&c, &d](double term) {
        d = 1.0 + term * d;
        if (std::fabs(d) < tiny) {
            d = tiny;
        }
        c = 1.0 + term / c;
        if (std::fabs(c) < tiny) {
            c = tiny;
        }
        d = 1.0 / d;
        return d * c;
    };
    const double limit = 1000.0 + 20.0 * std::sqrt(std::max(a, b));
    for (double m = 1.0; m <= limit; m += 1.0) {
        const double m2 = 2.0 * m;
        fraction *= step(m * (b - m) * x / ((down + m2) * (a + m2)));
        const double change = step(-(a + m) * (sum + m) * x / ((a + m2) * (up + m2)));
        fraction *= change;
        if (std::fabs(change - 1.0) <= epsilon) {
            break;
        }
    }
    return fraction;
}

} // namespace

double regularized_incomplete_beta(double a, double b, double x, double y) {
    if (std::isnan(a) || std::isnan(b) || std::isnan(x) || std::isnan(y)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (x <= 0.0) {
        return 0.0;
    }
    if (y <= 0.0) {
        return 1.0;
    }
    if (x < (a + 1.0) / (a + b + 2.0)) {
        return std::exp(log_beta_factor(a, b, x, y)) * beta_continued_fraction(a, b, x, y) / a;
    }
    // The symmetric form; its result is near 1, where 1 - (small) loses nothing that matters.
    return 1.0 - std::exp(log_beta_factor(b, a, y, x)) * beta_continued_fraction(b, a, y, x) / b;
}

double binomial_lower_tail(std::uint64_t successes, std::uint64_t trials, double p) {
    if (std::isnan(p)) {
        return p;
    }
    if (successes >= trials || p <= 0.0) {
        return 1.0;
    }
    if (p >= 1.0) {
        return 0.0;
    }
    const auto n = static_cast<double>(trials);
    const auto k = static_cast<double>(successes);
    return regularized_incomplete_beta(n - k, k + 1.0, 1.0 - p, p);
}

} // namespace annotrove
