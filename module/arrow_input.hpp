// Arrow data handed over by Python objects through the Arrow PyCapsule interface, as a plain C
// stream the core can read without the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "table/arrow_abi.h"

namespace annotrove::module {

// Owns a stream taken out of its capsule and releases it exactly once: when the owner dies, on
// every way out (the lock must be held then, as producers backed by Python code expect).
class ArrowStream {
  public:
    ArrowStream();
    ArrowStream(ArrowStream &&other) noexcept;
    ArrowStream &operator=(ArrowStream &&) = delete;
    ArrowStream(const ArrowStream &) = delete;
    ArrowStream &operator=(const ArrowStream &) = delete;
    ~ArrowStream();

    ArrowArrayStream *get() { return &stream_; }

  private:
    ArrowArrayStream stream_;
};

// Whether the object offers the Arrow PyCapsule interface (a stream, or one array).
bool exports_arrow(PyObject *object);

// The object's data as a stream: __arrow_c_stream__(), else __arrow_c_array__() (one record
// batch or struct array) wrapped as a stream of one batch. Raises and returns nothing on failure
// (the producer's own exception, or TypeError for a capsule that is not what the interface
// promises). `rows`, when given, receives the number of rows when the object tells it (one array
// does; a stream does not), else 0.
std::optional<ArrowStream> export_arrow_stream(PyObject *object, std::size_t *rows = nullptr);

// A Parquet file's member columns, read batch by batch through pyarrow, and the number of rows
// its footer declares. Nothing (and no exception set) when pyarrow cannot be imported; nothing
// and a RuntimeError naming the fault when the file cannot be opened as Parquet.
struct ParquetStream {
    ArrowStream stream;
    std::size_t rows = 0;
};
std::optional<ParquetStream> open_parquet_stream(PyObject *path, bool &pyarrow_missing);

} // namespace annotrove::module
