// Reading one table on several threads. The input is cut into chunks just after line breaks as
// it is read; each chunk is read on whichever thread is free, and the rows come back to one
// consumer chunk by chunk in file order, so nothing the consumer sees depends on the threads.
#pragma once

#include <cstddef>
#include <memory>

#include "../error.hpp"
#include "csv_reader.hpp"
#include "csv_reader_settings.hpp"

namespace annotrove::table {

class ByteSource;

// The rows of one chunk, gathered on the thread that reads the chunk.
class RowBatch : public RowConsumer {
  public:
    void expect_rows(std::size_t) override {}
    // Empties the batch for the next chunk, keeping its storage.
    virtual void clear() = 0;
};

// A consumer whose rows may be read on other threads.
class BatchedConsumer : public RowConsumer {
  public:
    // A batch for one chunk's rows. Called on any thread while the read runs, so it may only
    // read what stays fixed meanwhile.
    virtual std::unique_ptr<RowBatch> new_batch() const = 0;
    // Every batch whose rows precede the first fault, one at a time, in file order: the same
    // rows that add() would have seen, in the same order.
    virtual void take(RowBatch &batch) = 0;
};

// Streams every data row of the table from `source` to `consumer` on at most `threads` threads
// (the calling one among them); returns the first failure in file order, header faults before
// row faults, as read_table_from_source does. One thread, or a table below a few megabytes,
// reads on the calling thread alone and starts none. Every thread started is joined before the
// return, also when it fails; an exception thrown on one (bad_alloc) is rethrown here.
Result<void> read_table_threaded(ByteSource &source, BatchedConsumer &consumer,
                                 const CsvReaderSettings &settings, std::size_t threads);

// The cores this process may run on (its CPU affinity), at least one.
std::size_t available_cores();

} // namespace annotrove::table
