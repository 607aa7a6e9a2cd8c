// The rows of compare_scores as Python dicts.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "score_comparison.hpp"

namespace annotrove::module {

// One dict per comparison, in the given order; `names` holds the score names as requested, which
// each comparison's `request` indexes. Keys, in insertion order: score; aurc, aurc_low,
// aurc_high; the same three for eaurc, augrc and auroc; scored, labelled, top1_error;
// aurc_difference, aurc_difference_low, aurc_difference_high, distinguishable; and curve (the
// curve dicts of compute_curve) when `with_curves`. Bounds and distinguishable are None when no resample was drawn.
PyRef comparisons_to_dicts(std::span<const ScoreComparison> comparisons,
                           std::span<const std::string> names, bool with_curves);

} // namespace annotrove::module
