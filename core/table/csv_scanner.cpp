#include "csv_scanner.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define ANNOTROVE_HAVE_SSE2 1
#include <emmintrin.h>
#endif
// AVX2 is compiled per function and chosen at run time, so the library still runs on processors
// without it. MSVC builds keep to SSE2, which every x64 processor has.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
#define ANNOTROVE_HAVE_AVX2 1
#include <immintrin.h>
#endif

namespace annotrove::table {

namespace {

constexpr std::uint64_t repeat_byte(char c) {
    return 0x0101010101010101ULL * static_cast<unsigned char>(c);
}

// High bit of each byte of `word` that equals the byte repeated in `pattern`; exact per byte
// (no false positives from borrows), unlike the shorter has-zero-byte trick.
constexpr std::uint64_t equal_bytes(std::uint64_t word, std::uint64_t pattern) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t x = word ^ pattern;
    return ~(((x & low7) + low7) | x) & ~low7;
}

// The reference kernel: plain integer arithmetic, eight bytes at a time.
std::uint64_t structural_mask_scalar(const char *window) {
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if constexpr (std::endian::native == std::endian::little) {
            std::uint64_t word;
            std::memcpy(&word, window + 8 * i, sizeof word);
            const std::uint64_t hits =
                equal_bytes(word, repeat_byte(',')) | equal_bytes(word, repeat_byte('"')) |
                equal_bytes(word, repeat_byte('\n')) | equal_bytes(word, repeat_byte('\r'));
            // Gathers the eight high bits into one byte, byte 0 in bit 0.
            const std::uint64_t bits = ((hits >> 7) * 0x0102040810204080ULL) >> 56;
            mask |= bits << (8 * i);
        } else {
            for (unsigned j = 0; j < 8; ++j) {
                const char c = window[8 * i + j];
                if (c == ',' || c == '"' || c == '\n' || c == '\r') {
                    mask |= std::uint64_t{1} << (8 * i + j);
                }
            }
        }
    }
    return mask;
}

#if ANNOTROVE_HAVE_SSE2
std::uint64_t structural_mask_sse2(const char *window) {
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(window + 16 * i));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, comma), _mm_cmpeq_epi8(bytes, quote)),
                         _mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)));
        const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(hits));
        mask |= std::uint64_t{bits} << (16 * i);
    }
    return mask;
}
#endif

#if ANNOTROVE_HAVE_AVX2
__attribute__((target("avx2"))) std::uint64_t structural_mask_avx2(const char *window) {
    const __m256i comma = _mm256_set1_epi8(',');
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < 2; ++i) {
        const __m256i bytes =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(window + 32 * i));
        const __m256i hits = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(bytes, comma), _mm256_cmpeq_epi8(bytes, quote)),
            _mm256_or_si256(_mm256_cmpeq_epi8(bytes, lf), _mm256_cmpeq_epi8(bytes, cr)));
        const auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
        mask |= std::uint64_t{bits} << (32 * i);
    }
    return mask;
}
#endif

} // namespace

std::string_view isa_name(Isa isa) {
    switch (isa) {
    case Isa::automatic:
        return "auto";
    case Isa::scalar:
        return "scalar";
    case Isa::sse2:
        return "sse2";
    case Isa::avx2:
        return "avx2";
    }
    return "auto";
}

std::optional<Isa> isa_from_name(std::string_view name) {
    for (Isa isa : {Isa::automatic, Isa::scalar, Isa::sse2, Isa::avx2}) {
        if (isa_name(isa) == name) {
            return isa;
        }
    }
    return std::nullopt;
}

bool isa_available(Isa isa) {
    switch (isa) {
    case Isa::automatic:
    case Isa::scalar:
        return true;
    case Isa::sse2:
#if ANNOTROVE_HAVE_SSE2
        return true;
#else
        return false;
#endif
    case Isa::avx2:
#if ANNOTROVE_HAVE_AVX2
        return __builtin_cpu_supports("avx2") != 0;
#else
        return false;
#endif
    }
    return false;
}

StructuralMaskFn structural_mask_kernel(Isa isa) {
    if (isa == Isa::automatic) {
        isa = isa_available(Isa::avx2)   ? Isa::avx2
              : isa_available(Isa::sse2) ? Isa::sse2
                                         : Isa::scalar;
    }
    switch (isa) {
#if ANNOTROVE_HAVE_AVX2
    case Isa::avx2:
        return structural_mask_avx2;
#endif
#if ANNOTROVE_HAVE_SSE2
    case Isa::sse2:
        return structural_mask_sse2;
#endif
    default:
        return structural_mask_scalar;
    }
}

} // namespace annotrove::table
