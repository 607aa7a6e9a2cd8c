// Reading a candidate table from the batches of an Arrow C stream: the same per-row calls the CSV
// reader makes, so grouping and everything after it cannot tell the two apart.
#pragma once

#include <cstddef>

#include "../error.hpp"
#include "csv_reader.hpp"

struct ArrowArrayStream;

namespace annotrove::table {

// Streams every row of every batch of `stream` to `consumer`, in stream order, one pass, on the
// calling thread. Columns are found by name; only the table's member columns are read, each by
// its type (strings, large strings, string views or dictionary-encoded strings for texts; any
// integer for rank; float64, float32 or any integer for score and probability; boolean for the
// label). Returns MissingColumn for an absent required column, else the first fault in row order
// as an Arrow error naming column and row. `expected_rows` (0 when unknown) sizes the consumer's
// storage once. The stream stays the caller's: it is never released here; every schema and batch
// taken from it is.
Result<void> read_arrow_stream(ArrowArrayStream &stream, RowConsumer &consumer,
                               std::size_t expected_rows = 0);

} // namespace annotrove::table
