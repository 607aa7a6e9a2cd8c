// Choosing the acceptance threshold from a risk-coverage curve.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "curve_point.hpp"
#include "error.hpp"

namespace annotrove {

// The threshold of a policy for which no curve point qualified.
inline constexpr double NO_QUALIFYING_THRESHOLD = std::numeric_limits<double>::max();

std::optional<double> select_empirical(std::span<const CurvePoint> points, double target);
std::optional<double> select_crc(std::span<const CurvePoint> points, double target);
Result<std::optional<double>> select_binomial(std::span<const CurvePoint> points, double target,
                                              double confidence_level);

// Learn then test by fixed-sequence testing. Each sequence starts at a place (a rank in the
// descending confidence order) and spends its own share of 1 - level; the places and shares depend
// on the number of scored queries, the target and the level alone, never on a label, so that the
// thresholds the sequences walk through may come from the data.
struct LttSequence {
    std::uint64_t start = 0; // 1-based place; a start beyond the scored queries gives nothing
    double level = 0.0;      // the share of 1 - level this sequence's tests spend
};

// The sequences for a calibration set: a main one at 85 % of 1 - level with rescue sequences
// further down sharing the rest, or, on sets too small for a rescue, one sequence at the whole
// of it. Empty when the target is not positive or the level is not strictly between 0 and 1.
class LttPlan {
  public:
    LttPlan(std::uint64_t scored, double target, double confidence_level);

    std::span<const LttSequence> sequences() const { return sequences_; }

  private:
    std::vector<LttSequence> sequences_;
};

std::optional<double> select_ltt(std::span<const CurvePoint> points, double target,
                                 double confidence_level);

// Levels ltt accepts: strictly between 0 and 1.
bool ltt_level_is_valid(double confidence_level);
std::string ltt_level_message(double confidence_level);

} // namespace annotrove
