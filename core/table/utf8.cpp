#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace annotrove::table {

namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0U) == 0x80U;
}

} // namespace

bool is_ascii(const char *begin, const char *end) {
    // Eight bytes per step; OR-ing several words first keeps the loop free of early exits.
    std::uint64_t seen = 0;
    const char *p = begin;
#if defined(__x86_64__) || defined(_M_X64)
    // Whole blocks are checked at once: 64 bytes a step with SSE2, which every x64 processor has.
    if (end - p >= 64) {
        __m128i any = _mm_setzero_si128();
        for (; end - p >= 64; p += 64) {
            const auto *v = reinterpret_cast<const __m128i *>(p);
            any = _mm_or_si128(
                _mm_or_si128(_mm_or_si128(any, _mm_loadu_si128(v)), _mm_loadu_si128(v + 1)),
                _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
        }
        if (_mm_movemask_epi8(any) != 0) {
            return false;
        }
    }
#endif
    for (; end - p >= 32; p += 32) {
        std::uint64_t words[4];
        std::memcpy(words, p, sizeof words);
        seen |= words[0] | words[1] | words[2] | words[3];
    }
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        seen |= word;
    }
    if (end - begin >= 8) {
        // The last eight bytes, overlapping those already seen: no byte loop for the tail.
        std::uint64_t word;
        std::memcpy(&word, end - 8, sizeof word);
        return ((seen | word) & high_bits) == 0;
    }
    if ((seen & high_bits) != 0) {
        return false;
    }
    unsigned char tail = 0;
    for (; p < end; ++p) {
        tail |= static_cast<unsigned char>(*p);
    }
    return tail < 0x80U;
}

bool is_valid_utf8(const char *begin, const char *end) {
    const auto *p = reinterpret_cast<const unsigned char *>(begin);
    const auto *stop = reinterpret_cast<const unsigned char *>(end);
    while (p < stop) {
        if (stop - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if ((word & high_bits) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char lead = *p;
        if (lead < 0x80U) {
            ++p;
            continue;
        }
        // The second byte's range depends on the lead: this is where overlong forms, surrogates
        // and code points above U+10FFFF are refused.
        unsigned char low = 0x80U;
        unsigned char high = 0xBFU;
        std::ptrdiff_t length = 0;
        if (lead >= 0xC2U && lead <= 0xDFU) {
            length = 2;
        } else if (lead >= 0xE0U && lead <= 0xEFU) {
            length = 3;
            if (lead == 0xE0U) {
                low = 0xA0U;
            } else if (lead == 0xEDU) {
                high = 0x9FU;
            }
        } else if (lead >= 0xF0U && lead <= 0xF4U) {
            length = 4;
            if (lead == 0xF0U) {
                low = 0x90U;
            } else if (lead == 0xF4U) {
                high = 0x8FU;
            }
        } else {
            return false;
        }
        if (stop - p < length || p[1] < low || p[1] > high) {
            return false;
        }
        for (std::ptrdiff_t i = 2; i < length; ++i) {
            if (!is_continuation(p[i])) {
                return false;
            }
        }
        p += length;
    }
    return true;
}

} // namespace annotrove::table
