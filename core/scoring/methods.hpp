// One function per score method.
#pragma once

#include <optional>
#include <span>

#include "../candidate.hpp"

namespace annotrove::scoring {

// Sum of -p ln p over the probabilities in file order; absent when any probability is absent.
std::optional<double> entropy_sum(std::span<const Candidate> candidates);

std::optional<double> max_prob(std::span<const Candidate> candidates);
std::optional<double> score_gap(std::span<const Candidate> candidates);
std::optional<double> margin(std::span<const Candidate> candidates);
std::optional<double> entropy(std::span<const Candidate> candidates);
std::optional<double> score_ratio(std::span<const Candidate> candidates);
std::optional<double> top_k_gap(std::span<const Candidate> candidates);
std::optional<double> effective_k(std::span<const Candidate> candidates);
std::optional<double> candidate_count(std::span<const Candidate> candidates);

} // namespace annotrove::scoring
