// The rank order shared by the score methods: ascending unsigned rank, ties in file order.
#include <algorithm>

#include "methods.hpp"

namespace annotrove::scoring {

namespace {

// Candidate lists are short; insertion sort beats the general routine below this size.
constexpr std::size_t insertion_sort_limit = 20;

} // namespace

std::vector<const Candidate *> rank_order(std::span<const Candidate> candidates) {
    std::vector<const Candidate *> order;
    order.reserve(candidates.size());
    for (const Candidate &candidate : candidates) {
        order.push_back(&candidate);
    }
    if (order.size() <= insertion_sort_limit) {
        // Strict comparison when shifting keeps equal ranks in file order.
        for (std::size_t i = 1; i < order.size(); ++i) {
            const Candidate *current = order[i];
            std::size_t j = i;
            while (j > 0 && order[j - 1]->rank > current->rank) {
                order[j] = order[j - 1];
                --j;
            }
            order[j] = current;
        }
    } else {
        std::stable_sort(order.begin(), order.end(),
                         [](const Candidate *a, const Candidate *b) { return a->rank < b->rank; });
    }
    return order;
}

} // namespace annotrove::scoring
