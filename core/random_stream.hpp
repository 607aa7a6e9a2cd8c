// A fully specified random stream for resampling: the same seed gives the same draws on every
// platform, compiler and thread count.
#pragma once

#include <array>
#include <cstdint>

namespace annotrove {

// xoshiro256** (Blackman and Vigna 2018). Stream `index` of `seed` starts from outputs 4·index to
// 4·index + 3 of the SplitMix64 generator seeded with `seed`, reached directly because that
// generator's state after k steps is seed + k·0x9E3779B97F4A7C15. So each resample has its own
// stream, found without running the ones before it.
class RandomStream {
  public:
    RandomStream(std::uint64_t seed, std::uint64_t index);

    std::uint64_t next();

    // A uniform integer in [0, bound), bound > 0, by Lemire's multiply-and-reject method on the
    // full 64-bit product ("Fast random integer generation in an interval", 2019): the high word
    // of next() · bound, drawing again while the low word falls below 2^64 mod bound. The
    // standard library's distributions are not used because the standard does not fix their
    // output.
    std::uint64_t below(std::uint64_t bound);

  private:
    std::array<std::uint64_t, 4> state_{};
};

// The SplitMix64 output for a state (Steele, Lea and Flood 2014), the state already advanced.
std::uint64_t split_mix_64(std::uint64_t state);

} // namespace annotrove
