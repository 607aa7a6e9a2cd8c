// Where a candidate table comes from, and how it may be read.
#pragma once

#include <cstddef>
#include <string_view>

#include "csv_reader_settings.hpp"

struct ArrowArrayStream; // the Arrow C stream interface (arrow_abi.h)

namespace annotrove::table {

// A CSV file by its path, or the batches of an Arrow stream. The stream stays the caller's: the
// reader takes batches from it and never releases it.
struct TableSource {
    std::string_view path;
    ArrowArrayStream *stream = nullptr;
    // For a stream: the number of rows it holds when the producer knows it (0 otherwise), so the
    // rows' storage is sized once instead of doubling.
    std::size_t expected_rows = 0;
};

struct ReadOptions {
    // At most this many threads read the table; 1 reads it on the calling thread alone and starts
    // no thread (a compressed table is then decompressed on that thread too). The result never
    // depends on it.
    std::size_t threads = 1;
    CsvReaderSettings csv = {};
};

} // namespace annotrove::table
