#include "table_argument.hpp"

#include "arguments.hpp"
#include "exceptions.hpp"
#include "table/csv_reader.hpp"

namespace annotrove::module {

namespace {

constexpr const char *table_kinds = "str, os.PathLike or an object with __arrow_c_stream__";

void refuse(const char *function, const char *parameter, const char *accepted, PyObject *value,
            const char *detail = "") {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s%s", function, parameter,
                 accepted, Py_TYPE(value)->tp_name, detail);
    add_processing_note(parameter);
}

} // namespace

std::optional<PathText> convert_path(const char *function, const char *parameter, PyObject *value,
                                     const char *accepted) {
    PyRef text;
    if (PyUnicode_Check(value)) {
        text = PyRef::borrowed(value);
    } else if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        refuse(function, parameter, accepted, value);
        return std::nullopt;
    } else {
        // os.fspath: a str, bytes or an exception for anything that is not a path.
        PyRef converted(PyOS_FSPath(value));
        if (!converted) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
                add_processing_note(parameter);
                return std::nullopt;
            }
            PyErr_Clear();
            refuse(function, parameter, accepted, value);
            return std::nullopt;
        }
        if (!PyUnicode_Check(converted.get())) {
            refuse(function, parameter, accepted, value, " (a path of bytes)");
            return std::nullopt;
        }
        text = std::move(converted);
    }
    std::optional<std::string_view> utf8 = utf8_of(text.get());
    if (!utf8) {
        add_processing_note(parameter);
        return std::nullopt;
    }
    return PathText{std::move(text), *utf8};
}

std::optional<TableArgument> TableArgument::convert(const char *function, const char *parameter,
                                                    PyObject *value) {
    TableArgument argument;
    // A str is a path, whatever else its class offers; an exporting object is data.
    if (!PyUnicode_Check(value) && exports_arrow(value)) {
        argument.object_ = value;
        return argument;
    }
    std::optional<PathText> path = convert_path(function, parameter, value, table_kinds);
    if (!path) {
        return std::nullopt;
    }
    argument.path_ = std::move(*path);
    return argument;
}

bool TableArgument::open() {
    if (object_ != nullptr) {
        std::optional<ArrowStream> exported = export_arrow_stream(object_, &expected_rows_);
        if (!exported) {
            return false;
        }
        stream_.emplace(std::move(*exported));
        return true;
    }
    if (!table::is_parquet_path(path_.text)) {
        return true;
    }
    bool pyarrow_missing = false;
    std::optional<ParquetStream> parquet = open_parquet_stream(path_.holder.get(), pyarrow_missing);
    if (parquet) {
        stream_.emplace(std::move(parquet->stream));
        expected_rows_ = parquet->rows;
        return true;
    }
    // Without pyarrow the core refuses the path as it always has.
    return pyarrow_missing;
}

table::TableSource TableArgument::source() {
    if (stream_) {
        return table::TableSource{
            .path = {}, .stream = stream_->get(), .expected_rows = expected_rows_};
    }
    return table::TableSource{.path = path_.text};
}

} // namespace annotrove::module
