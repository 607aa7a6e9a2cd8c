// How much of the reader's row estimate a consumer reserves up front.
#pragma once

#include <algorithm>
#include <cstddef>

namespace annotrove::table {

// The estimate divides the input's size by the length of its first rows, so a table whose first
// rows are short and later ones long (texts filled in further down) can be estimated at many
// times its real row count. Reserving that much made a small table fail with MemoryError under an
// address-space limit. The estimate is therefore only a hint up to this many bytes of storage;
// a larger table grows its storage geometrically as rows arrive, which costs a few copies of a
// store that size at most.
inline constexpr std::size_t ROW_RESERVATION_BUDGET = std::size_t{64} << 20;

template <typename Row> constexpr std::size_t rows_to_reserve(std::size_t estimate) {
    return std::min(estimate, ROW_RESERVATION_BUDGET / sizeof(Row));
}

} // namespace annotrove::table
