// The eight score methods: their names and the dispatch from a method to its computation.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "../candidate.hpp"

namespace annotrove::scoring {

enum class ScoringMethod {
    MaxProb,
    ScoreGap,
    Margin,
    Entropy,
    ScoreRatio,
    TopKGap,
    EffectiveK,
    CandidateCount,
};

inline constexpr std::size_t SCORING_METHOD_COUNT = 8;
inline constexpr std::array<ScoringMethod, SCORING_METHOD_COUNT> ALL_SCORING_METHODS = {
    ScoringMethod::MaxProb,    ScoringMethod::ScoreGap,      ScoringMethod::Margin,
    ScoringMethod::Entropy,    ScoringMethod::ScoreRatio,    ScoringMethod::TopKGap,
    ScoringMethod::EffectiveK, ScoringMethod::CandidateCount};

// The name used in policy files and policy dicts ("top_k_gap").
std::string_view serialised_name(ScoringMethod method);
// The name written into decisions ("TopKGap").
std::string_view display_name(ScoringMethod method);

// Accepted forms of the `score` argument ("topk-gap", "topk_gap"); exact and case-sensitive.
std::optional<ScoringMethod> parse_score_method(std::string_view text);
// The message for a `score` argument that names no method.
std::string unknown_score_method_message(std::string_view text);

// Exactly one of the eight serialised names.
std::optional<ScoringMethod> parse_serialised_scoring_method(std::string_view text);

// The confidence of one query's top candidate; absent when the method has nothing to say.
std::optional<double> score_query(const QueryGroup &group, ScoringMethod method);

// Whether the method's confidence reads the candidates' scores, or their probabilities; a table
// read for it need only check the cells of a column it does not read.
bool reads_scores(ScoringMethod method);
bool reads_probabilities(ScoringMethod method);

} // namespace annotrove::scoring
