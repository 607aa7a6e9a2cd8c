// Finding the bytes that matter to CSV structure (comma, double quote, CR, LF) 64 bytes at a time,
// with the instruction set picked when the reader starts.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace annotrove::table {

enum class Isa { automatic, scalar, sse2, avx2 };

// Bit i of the result is set when window[i] is one of , " \r \n. Reads exactly 64 bytes.
using StructuralMaskFn = std::uint64_t (*)(const char *window);

std::string_view isa_name(Isa isa);
std::optional<Isa> isa_from_name(std::string_view name);
// Whether this build and this processor can run the given kernel (automatic always can).
bool isa_available(Isa isa);
// The kernel for an available instruction set; automatic picks the widest the processor has.
StructuralMaskFn structural_mask_kernel(Isa isa);

// Walks forward through one buffer, handing out structural bytes in order. The caller must
// keep 64 readable bytes after `end` (their content does not matter), so that a window starting
// just before the end can be read whole.
class StructuralScanner {
  public:
    static constexpr std::size_t window_size = 64;

    StructuralScanner(StructuralMaskFn kernel, const char *start, const char *end)
        : kernel_(kernel), window_(start), end_(end), mask_(start < end ? kernel(start) : 0) {}

    // The first structural byte at or after p, or end when there is none before it. Successive
    // calls must not move backwards past the current window.
    const char *next(const char *p) {
        auto offset = static_cast<std::size_t>(p - window_);
        if (offset >= window_size) {
            if (p >= end_) {
                return end_;
            }
            window_ = p;
            mask_ = kernel_(p);
            offset = 0;
        }
        std::uint64_t mask = mask_ & (~std::uint64_t{0} << offset);
        while (mask == 0) {
            window_ += window_size;
            if (window_ >= end_) {
                mask_ = 0;
                return end_;
            }
            mask = kernel_(window_);
        }
        mask_ = mask;
        const char *found = window_ + std::countr_zero(mask);
        return found < end_ ? found : end_;
    }

    // The scanner's place as plain values, for a loop that walks the structural bytes itself and
    // keeps them in registers (stores through char pointers would make the compiler reload the
    // members after each). After next() returned p, the lowest bit of `mask` is p's.
    struct Cursor {
        const char *window;
        std::uint64_t mask;
    };
    Cursor cursor() const { return {window_, mask_}; }
    void resume(Cursor cursor) {
        window_ = cursor.window;
        mask_ = cursor.mask;
    }

  private:
    StructuralMaskFn kernel_;
    const char *window_;
    const char *end_;
    std::uint64_t mask_;
};

} // namespace annotrove::table
