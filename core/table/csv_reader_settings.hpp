// Knobs of the table reader that exist for tests and benchmarks: they change how the input is
// cut into blocks and which scanning kernel runs, never the result.
#pragma once

#include <cstddef>

#include "csv_scanner.hpp"

namespace annotrove::table {

struct CsvReaderSettings {
    // Bytes asked of the input per read; the buffer still grows to hold a longer record.
    std::size_t block_size = std::size_t{1} << 18;
    Isa isa = Isa::automatic;
    // Bytes per chunk when several threads read the table; zero lets the reader choose, and
    // reads small tables on one thread whatever is asked. Tests set a few bytes, which also reads
    // tables of any size on the threads asked, so that chunk edges fall everywhere.
    std::size_t chunk_size = 0;
    // A compressed input is decompressed on a thread of its own, beside the parser (the thread
    // lives only inside the read); off, the parser's thread decompresses each block itself.
    bool decompress_in_background = true;
};

} // namespace annotrove::table
