// The table argument of the table functions (compute_curve, calibrate, apply_policy, and any
// function that reads a candidate table): a path, given as str or os.PathLike, or an object that
// exports the Arrow PyCapsule interface (a DataFrame, an Arrow table, batch or reader...).
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "arrow_input.hpp"
#include "py_ref.hpp"
#include "table/table_source.hpp"

namespace annotrove::module {

// A path argument (str, or os.PathLike yielding str) as UTF-8 text; the object that holds the
// text is kept alive with it. bytes, and a path object that yields bytes, are refused.
struct PathText {
    PyRef holder;
    std::string_view text;
};

// Converts a path argument: `accepted` names what the parameter takes, for the TypeError, which
// carries the processing note for `parameter`.
std::optional<PathText> convert_path(const char *function, const char *parameter, PyObject *value,
                                     const char *accepted = "str or os.PathLike[str]");

class TableArgument {
  public:
    // Checks the kind of the argument only; nothing is read or exported yet, so that the
    // arguments after it are converted and the method names parsed before any table is touched.
    static std::optional<TableArgument> convert(const char *function, const char *parameter,
                                                PyObject *value);

    TableArgument(TableArgument &&) = default;

    // Opens the table for reading (exports the object's stream, or opens a Parquet file through
    // pyarrow when it can be imported). Raises and returns false on failure. The source stays
    // valid while this argument lives; its stream is released with it, exactly once.
    bool open();
    table::TableSource source();

  private:
    TableArgument() = default;

    PyObject *object_ = nullptr; // the Arrow-exporting object, borrowed from the call
    PathText path_;
    std::optional<ArrowStream> stream_;
    std::size_t expected_rows_ = 0;
};

} // namespace annotrove::module
