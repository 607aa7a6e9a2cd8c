// The first few candidates of the rank order, found without sorting or allocating.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>

#include "../candidate.hpp"

namespace annotrove::scoring {

template <std::size_t K> struct BestRanked {
    std::array<const Candidate *, K> items{};
    std::size_t count = 0;

    const Candidate &operator[](std::size_t i) const { return *items[i]; }
};

// The first min(K, n) candidates by ascending rank, equal ranks in file order. A bounded insertion
// sort over the file order: a candidate goes after every kept one of equal rank (it came later in
// the file), and one that would land past the last slot is dropped, which is exactly the prefix of
// the stable sort. Linear in n for the small K the methods need.
template <std::size_t K> BestRanked<K> best_ranked(std::span<const Candidate> candidates) {
    static_assert(K > 0);
    BestRanked<K> best;
    for (const Candidate &candidate : candidates) {
        std::size_t slot = best.count;
        if (best.count == K) {
            if (!(candidate.rank < best.items[K - 1]->rank)) {
                continue;
            }
            slot = K - 1;
        } else {
            ++best.count;
        }
        while (slot > 0 && best.items[slot - 1]->rank > candidate.rank) {
            best.items[slot] = best.items[slot - 1];
            --slot;
        }
        best.items[slot] = &candidate;
    }
    return best;
}

// The scores of the two best-ranked candidates, best first; nothing for fewer than two
// candidates or when either score is NaN.
inline std::optional<std::array<double, 2>> top_two_scores(std::span<const Candidate> candidates) {
    const BestRanked<2> best = best_ranked<2>(candidates);
    if (best.count < 2 || std::isnan(best[0].score) || std::isnan(best[1].score)) {
        return std::nullopt;
    }
    return std::array<double, 2>{best[0].score, best[1].score};
}

} // namespace annotrove::scoring
