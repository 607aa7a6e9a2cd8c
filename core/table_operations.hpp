// Whole-table operations: what compute_curve, calibrate and apply_policy ask of the core, from a
// table to plain results. They touch no Python object, so a caller may run them without
// holding the interpreter lock.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apply_policy.hpp"
#include "curve_point.hpp"
#include "error.hpp"
#include "policy.hpp"
#include "score_comparison.hpp"
#include "scoring/scoring_method.hpp"
#include "table/table_source.hpp"

namespace annotrove {

// The risk-coverage curve of a labelled table.
Result<std::vector<CurvePoint>> curve_of_table(const table::TableSource &source,
                                               scoring::ScoringMethod method,
                                               const table::ReadOptions &read = {});

// The comparison of `methods` on a labelled table, read once.
Result<std::vector<ScoreComparison>>
compare_scores_of_table(const table::TableSource &source,
                        std::span<const scoring::ScoringMethod> methods,
                        const ComparisonSettings &settings, const table::ReadOptions &read = {});

// One decision per query in ascending byte-wise query_id order. The decisions' texts are views
// into `texts`, which this record owns (a vector, whose storage survives moves of the record).
struct TableDecisions {
    std::vector<char> texts;
    std::vector<Decision> decisions;
};

Result<TableDecisions> decide_table(const table::TableSource &source, const PolicyFile &policy,
                                    const table::ReadOptions &read = {});

} // namespace annotrove
