// Choosing the acceptance threshold from a risk-coverage curve.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "curve_point.hpp"
#include "error.hpp"

namespace annotrove {

// The threshold of a policy for which no curve point qualified.
inline constexpr double NO_QUALIFYING_THRESHOLD = std::numeric_limits<double>::max();

std::optional<double> select_empirical(std::span<const CurvePoint> points, double target);
std::optional<double> select_crc(std::span<const CurvePoint> points, double target);
Result<std::optional<double>> select_binomial(std::span<const CurvePoint> points, double target,
                                              double confidence_level);

// Learn then test. The hypotheses "the policy at the k-th most confident query has an error rate
// above the target" are indexed by positions k fixed in advance from the number of scored queries,
// the target and the level alone, so that the thresholds they refer to may come from the data.
// Each is tested with an exact binomial tail at its share of 1 - level; the selected point is the
// one of greatest coverage among those rejected.
class LttGrid {
  public:
    // scored: the queries on the curve that have a confidence (the last point's accepted).
    LttGrid(std::uint64_t scored, double target, double confidence_level);

    std::uint64_t size() const { return count_; }
    // The i-th position, 1-based rank in the descending confidence order; i < size().
    std::uint64_t position(std::uint64_t i) const;
    // Whether a position lies in (after, up_to].
    bool has_position_in(std::uint64_t after, std::uint64_t up_to) const;
    // The share of 1 - level given to each position's test.
    double level_per_position() const { return share_; }

  private:
    double first_root_ = 0.0;
    std::uint64_t count_ = 0;
    double share_ = 0.0;
};

std::optional<double> select_ltt(std::span<const CurvePoint> points, double target,
                                 double confidence_level);

// Levels ltt accepts: strictly between 0 and 1.
bool ltt_level_is_valid(double confidence_level);
std::string ltt_level_message(double confidence_level);

} // namespace annotrove
