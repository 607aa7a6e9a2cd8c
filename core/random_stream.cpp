#include "random_stream.hpp"

#include <bit>

#ifdef _MSC_VER
#include <intrin.h>
#endif

namespace annotrove {

namespace {

constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15ULL;

struct Product {
    std::uint64_t high;
    std::uint64_t low;
};

// The exact 128-bit product; both branches give the same value.
Product multiply(std::uint64_t a, std::uint64_t b) {
#if defined(_MSC_VER) && !defined(__clang__)
    std::uint64_t high = 0;
    const std::uint64_t low = _umul128(a, b, &high);
    return {high, low};
#else
    __extension__ typedef unsigned __int128 Wide;
    const Wide product = static_cast<Wide>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64U), static_cast<std::uint64_t>(product)};
#endif
}

} // namespace

std::uint64_t split_mix_64(std::uint64_t state) {
    std::uint64_t z = state;
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
}

RandomStream::RandomStream(std::uint64_t seed, std::uint64_t index) {
    // Unsigned arithmetic wraps modulo 2^64, exactly as the generator's own state does.
    std::uint64_t state = seed + (index * 4U * golden_gamma);
    for (std::uint64_t &word : state_) {
        state += golden_gamma;
        word = split_mix_64(state);
    }
    // SplitMix64 is a bijection of distinct states, so at most one of the four words is zero and
    // the all-zero state xoshiro cannot leave is never reached.
}

std::uint64_t RandomStream::next() {
    const std::uint64_t result = std::rotl(state_[1] * 5U, 7) * 9U;
    const std::uint64_t shifted = state_[1] << 17U;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= shifted;
    state_[3] = std::rotl(state_[3], 45);
    return result;
}

std::uint64_t RandomStream::below(std::uint64_t bound) {
    Product product = multiply(next(), bound);
    if (product.low < bound) {
        // 2^64 mod bound, computed in 64 bits as (2^64 - bound) mod bound.
        const std::uint64_t threshold = (0U - bound) % bound;
        while (product.low < threshold) {
            product = multiply(next(), bound);
        }
    }
    return product.high;
}

} // namespace annotrove
