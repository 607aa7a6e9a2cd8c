// Names of the eight score methods and the dispatch from a method to its computation.
#include "scoring_method.hpp"

#include <string>

#include "methods.hpp"

namespace annotrove::scoring {

namespace {

struct MethodNames {
    ScoringMethod method;
    std::string_view serialised;
    std::string_view display;
    // Accepted forms of the `score` argument; the second is empty when there is only one.
    std::string_view argument_dashed;
    std::string_view argument_underscored;
};

// In enumeration order, so a method's entry is names[index].
constexpr std::array<MethodNames, SCORING_METHOD_COUNT> names = {{
    {ScoringMethod::MaxProb, "max_prob", "MaxProb", "max-prob", "max_prob"},
    {ScoringMethod::ScoreGap, "score_gap", "ScoreGap", "score-gap", "score_gap"},
    {ScoringMethod::Margin, "margin", "Margin", "margin", ""},
    {ScoringMethod::Entropy, "entropy", "Entropy", "entropy", ""},
    {ScoringMethod::ScoreRatio, "score_ratio", "ScoreRatio", "score-ratio", "score_ratio"},
    // The argument spelling of this one differs from its serialised name on purpose: "top_k_gap"
    // is not accepted as an argument, nor "topk_gap" in a policy.
    {ScoringMethod::TopKGap, "top_k_gap", "TopKGap", "topk-gap", "topk_gap"},
    {ScoringMethod::EffectiveK, "effective_k", "EffectiveK", "effective-k", "effective_k"},
    {ScoringMethod::CandidateCount, "candidate_count", "CandidateCount", "candidate-count",
     "candidate_count"},
}};

const MethodNames &names_of(ScoringMethod method) {
    return names[static_cast<std::size_t>(method)];
}

} // namespace

std::string_view serialised_name(ScoringMethod method) {
    return names_of(method).serialised;
}

std::string_view display_name(ScoringMethod method) {
    return names_of(method).display;
}

std::optional<ScoringMethod> parse_score_method(std::string_view text) {
    for (const MethodNames &entry : names) {
        if (text == entry.argument_dashed ||
            (!entry.argument_underscored.empty() && text == entry.argument_underscored)) {
            return entry.method;
        }
    }
    return std::nullopt;
}

std::string unknown_score_method_message(std::string_view text) {
    std::string message = "Unknown score method '";
    message += text;
    message +=
        "'. Valid: max-prob, score-gap, margin, entropy, score-ratio, topk-gap, effective-k, "
        "candidate-count";
    return message;
}

std::optional<ScoringMethod> parse_serialised_scoring_method(std::string_view text) {
    for (const MethodNames &entry : names) {
        if (text == entry.serialised) {
            return entry.method;
        }
    }
    return std::nullopt;
}

std::optional<double> score_query(const QueryGroup &group, ScoringMethod method) {
    const std::span<const Candidate> candidates = group.candidates;
    switch (method) {
    case ScoringMethod::MaxProb:
        return max_prob(candidates);
    case ScoringMethod::ScoreGap:
        return score_gap(candidates);
    case ScoringMethod::Margin:
        return margin(candidates);
    case ScoringMethod::Entropy:
        return entropy(candidates);
    case ScoringMethod::ScoreRatio:
        return score_ratio(candidates);
    case ScoringMethod::TopKGap:
        return top_k_gap(candidates);
    case ScoringMethod::EffectiveK:
        return effective_k(candidates);
    case ScoringMethod::CandidateCount:
        return candidate_count(candidates);
    }
    return std::nullopt;
}

bool reads_scores(ScoringMethod method) {
    return method == ScoringMethod::ScoreGap || method == ScoringMethod::ScoreRatio ||
           method == ScoringMethod::TopKGap;
}

bool reads_probabilities(ScoringMethod method) {
    return method == ScoringMethod::MaxProb || method == ScoringMethod::Margin ||
           method == ScoringMethod::Entropy || method == ScoringMethod::EffectiveK;
}

} // namespace annotrove::scoring
