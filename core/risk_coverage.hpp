// The risk-coverage curve of a labelled table under one score method.
#pragma once

#include <span>
#include <vector>

#include "candidate.hpp"
#include "curve_point.hpp"
#include "scoring/scoring_method.hpp"

namespace annotrove {

// One point per distinct confidence, strictest threshold first; queries whose top candidate has
// no label are left out.
std::vector<CurvePoint> risk_coverage_curve(std::span<const QueryGroup> groups,
                                            scoring::ScoringMethod method);

} // namespace annotrove
