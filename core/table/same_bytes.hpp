// Byte equality of two texts.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace annotrove::table {

// Inlined for the short ones: comparing each row's ids with the previous
// row's is frequent enough that a library call per comparison shows up in profiles.
inline bool same_bytes(std::string_view a, std::string_view b) {
    const std::size_t size = a.size();
    if (size != b.size()) {
        return false;
    }
    const auto load = [](const char *p) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    const auto load4 = [](const char *p) {
        std::uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    const char *x = a.data();
    const char *y = b.data();
    if (size >= 4 && size < 8) {
        return load4(x) == load4(y) && load4(x + size - 4) == load4(y + size - 4);
    }
    if (size >= 8 && size <= 32) {
        // Words at both ends (overlapping when shorter than 16), then the middle when longer.
        bool same = load(x) == load(y) && load(x + size - 8) == load(y + size - 8);
        if (size > 16) {
            same = same && load(x + 8) == load(y + 8) && load(x + size - 16) == load(y + size - 16);
        }
        return same;
    }
    return size == 0 || std::memcmp(x, y, size) == 0;
}

} // namespace annotrove::table
