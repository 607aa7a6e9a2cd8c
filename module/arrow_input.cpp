#include "arrow_input.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "exceptions.hpp"
#include "py_ref.hpp"

namespace annotrove::module {

namespace {

// The member columns the table functions read, the only ones decoded from a Parquet file (the
// carried texts, smiles to target_inchikey, are kept by no call).
constexpr std::array<const char *, 6> member_columns = {"query_id", "candidate_id", "rank",
                                                        "score",    "probability",  "is_correct"};

// Rows per batch read from a Parquet file: large enough that the per-batch work vanishes, small
// enough that a batch of decoded columns stays far below the rows' own storage.
constexpr long parquet_batch_rows = 16 * 1024;
constexpr long parquet_buffer_bytes = 1024 * 1024;

void mark_released(ArrowArrayStream &stream) {
    std::memset(&stream, 0, sizeof stream);
}

// A stream of the one array that __arrow_c_array__ handed over: the schema and the array are
// each handed on once, then the stream ends.
struct SingleBatch {
    ArrowSchema schema;
    ArrowArray array;
    std::string error;
};

SingleBatch *single_batch_of(ArrowArrayStream *stream) {
    return static_cast<SingleBatch *>(stream->private_data);
}

int single_batch_schema(ArrowArrayStream *stream, ArrowSchema *out) {
    SingleBatch *batch = single_batch_of(stream);
    if (batch->schema.release == nullptr) {
        batch->error = "the schema of a single array is handed over once";
        return EINVAL;
    }
    *out = batch->schema;
    batch->schema.release = nullptr;
    return 0;
}

int single_batch_next(ArrowArrayStream *stream, ArrowArray *out) {
    SingleBatch *batch = single_batch_of(stream);
    *out = batch->array; // a released array (the end) once it has been handed over
    batch->array.release = nullptr;
    return 0;
}

const char *single_batch_error(ArrowArrayStream *stream) {
    SingleBatch *batch = single_batch_of(stream);
    return batch->error.empty() ? nullptr : batch->error.c_str();
}

void single_batch_release(ArrowArrayStream *stream) {
    SingleBatch *batch = single_batch_of(stream);
    if (batch->schema.release != nullptr) {
        batch->schema.release(&batch->schema);
    }
    if (batch->array.release != nullptr) {
        batch->array.release(&batch->array);
    }
    delete batch;
    mark_released(*stream);
}

// The pointer a capsule holds under the interface's name; raises TypeError otherwise.
void *capsule_pointer(PyObject *capsule, const char *name, const char *method) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "%s() did not return a PyCapsule named '%s'", method, name);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, name);
}

bool take_stream_capsule(PyObject *capsule, ArrowArrayStream &into) {
    auto *stream = static_cast<ArrowArrayStream *>(
        capsule_pointer(capsule, "arrow_array_stream", "__arrow_c_stream__"));
    if (stream == nullptr) {
        return false;
    }
    if (stream->release == nullptr) {
        raise_type_error("__arrow_c_stream__() returned a stream that was already released");
        return false;
    }
    // Moved out: the capsule's destructor sees a released stream and leaves it alone.
    into = *stream;
    stream->release = nullptr;
    return true;
}

bool take_array_capsules(PyObject *pair, ArrowArrayStream &into, std::size_t &rows) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        raise_type_error("__arrow_c_array__() did not return a pair of capsules");
        return false;
    }
    auto *schema = static_cast<ArrowSchema *>(
        capsule_pointer(PyTuple_GET_ITEM(pair, 0), "arrow_schema", "__arrow_c_array__"));
    if (schema == nullptr) {
        return false;
    }
    auto *array = static_cast<ArrowArray *>(
        capsule_pointer(PyTuple_GET_ITEM(pair, 1), "arrow_array", "__arrow_c_array__"));
    if (array == nullptr) {
        return false;
    }
    if (schema->release == nullptr || array->release == nullptr) {
        raise_type_error("__arrow_c_array__() returned data that was already released");
        return false;
    }
    auto *batch = new (std::nothrow) SingleBatch{*schema, *array, {}};
    if (batch == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    schema->release = nullptr;
    array->release = nullptr;
    rows = array->length > 0 ? static_cast<std::size_t>(array->length) : 0;
    into.get_schema = single_batch_schema;
    into.get_next = single_batch_next;
    into.get_last_error = single_batch_error;
    into.release = single_batch_release;
    into.private_data = batch;
    return true;
}

bool has_attribute(PyObject *object, const char *name) {
    // Looked up on the type, as the interpreter looks up the special methods of a protocol.
    PyRef attribute(PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), name));
    if (!attribute) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// str(exception) of the exception being raised, which is cleared.
std::string fetch_exception_text() {
    PyRef raised(PyErr_GetRaisedException());
    if (!raised) {
        return "unknown error";
    }
    PyRef text(PyObject_Str(raised.get()));
    if (!text) {
        PyErr_Clear();
        return Py_TYPE(raised.get())->tp_name;
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return Py_TYPE(raised.get())->tp_name;
    }
    std::string message(Py_TYPE(raised.get())->tp_name);
    if (size > 0) {
        message += ": ";
        message.append(data, static_cast<std::size_t>(size));
    }
    return message;
}

} // namespace

ArrowStream::ArrowStream() {
    mark_released(stream_);
}

ArrowStream::ArrowStream(ArrowStream &&other) noexcept : stream_(other.stream_) {
    mark_released(other.stream_);
}

ArrowStream::~ArrowStream() {
    if (stream_.release == nullptr) {
        return;
    }
    // A producer backed by Python code runs it on release: the exception this call is about to
    // raise must not be pending meanwhile, nor be replaced by anything the release does.
    PyObject *raised = PyErr_GetRaisedException();
    stream_.release(&stream_);
    if (raised != nullptr) {
        PyErr_SetRaisedException(raised);
    } else if (PyErr_Occurred()) {
        PyErr_Clear();
    }
}

bool exports_arrow(PyObject *object) {
    return has_attribute(object, "__arrow_c_stream__") ||
           has_attribute(object, "__arrow_c_array__");
}

std::optional<ArrowStream> export_arrow_stream(PyObject *object, std::size_t *rows) {
    ArrowStream owner;
    if (has_attribute(object, "__arrow_c_stream__")) {
        PyRef capsule(PyObject_CallMethod(object, "__arrow_c_stream__", nullptr));
        if (!capsule || !take_stream_capsule(capsule.get(), *owner.get())) {
            return std::nullopt;
        }
        return owner;
    }
    PyRef pair(PyObject_CallMethod(object, "__arrow_c_array__", nullptr));
    std::size_t length = 0;
    if (!pair || !take_array_capsules(pair.get(), *owner.get(), length)) {
        return std::nullopt;
    }
    if (rows != nullptr) {
        *rows = length;
    }
    return owner;
}

std::optional<ParquetStream> open_parquet_stream(PyObject *path, bool &pyarrow_missing) {
    pyarrow_missing = false;
    PyRef parquet(PyImport_ImportModule("pyarrow.parquet"));
    if (!parquet) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            pyarrow_missing = true;
            return std::nullopt;
        }
        return std::nullopt;
    }
    // Any failure from here to the reader is the file's: one RuntimeError that names it.
    const auto fail = [&]() -> std::optional<ParquetStream> {
        const std::string fault = fetch_exception_text();
        PyRef text(PyObject_Str(path));
        std::string shown = "?";
        if (text) {
            Py_ssize_t size = 0;
            if (const char *data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
                shown.assign(data, static_cast<std::size_t>(size));
            }
        }
        PyErr_Clear();
        raise_core_error(
            CoreError::arrow("cannot read the Parquet file \"" + shown + "\": " + fault));
        return std::nullopt;
    };
    // Read through a small buffer, page by page, rather than each row group's column chunks at
    // once: the file's decoded batches then stay far smaller than the rows' own storage.
    PyRef file_class(PyObject_GetAttrString(parquet.get(), "ParquetFile"));
    PyRef file_arguments(PyTuple_Pack(1, path));
    PyRef file_keywords(
        Py_BuildValue("{s:l,s:O}", "buffer_size", parquet_buffer_bytes, "pre_buffer", Py_False));
    if (!file_class || !file_arguments || !file_keywords) {
        return fail();
    }
    PyRef file(PyObject_Call(file_class.get(), file_arguments.get(), file_keywords.get()));
    if (!file) {
        return fail();
    }
    PyRef schema(PyObject_GetAttrString(file.get(), "schema_arrow"));
    PyRef names(schema ? PyObject_GetAttrString(schema.get(), "names") : nullptr);
    PyRef metadata(PyObject_GetAttrString(file.get(), "metadata"));
    PyRef rows(metadata ? PyObject_GetAttrString(metadata.get(), "num_rows") : nullptr);
    if (!names || !rows) {
        return fail();
    }
    PyRef columns(PyList_New(0));
    PyRef fields(PyList_New(0));
    if (!columns || !fields) {
        return std::nullopt;
    }
    for (const char *name : member_columns) {
        PyRef text(PyUnicode_FromString(name));
        if (!text) {
            return std::nullopt;
        }
        const int found = PySequence_Contains(names.get(), text.get());
        if (found < 0) {
            return fail();
        }
        if (found == 0) {
            continue;
        }
        PyRef field(PyObject_CallMethod(schema.get(), "field", "O", text.get()));
        if (!field || PyList_Append(columns.get(), text.get()) < 0 ||
            PyList_Append(fields.get(), field.get()) < 0) {
            return fail();
        }
    }
    // Batches are decoded by pyarrow (its threads decode the columns of a batch side by side)
    // when the core asks for the next one; the generator takes the interpreter lock itself, so
    // the core consumes the stream without it.
    PyRef pyarrow(PyImport_ImportModule("pyarrow"));
    PyRef selected(pyarrow ? PyObject_CallMethod(pyarrow.get(), "schema", "O", fields.get())
                           : nullptr);
    PyRef iterate(PyObject_GetAttrString(file.get(), "iter_batches"));
    PyRef no_arguments(PyTuple_New(0));
    PyRef iterate_keywords(
        Py_BuildValue("{s:l,s:O}", "batch_size", parquet_batch_rows, "columns", columns.get()));
    if (!selected || !iterate || !no_arguments || !iterate_keywords) {
        return fail();
    }
    PyRef batches(PyObject_Call(iterate.get(), no_arguments.get(), iterate_keywords.get()));
    PyRef reader_class(batches ? PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader")
                               : nullptr);
    PyRef reader(reader_class ? PyObject_CallMethod(reader_class.get(), "from_batches", "OO",
                                                    selected.get(), batches.get())
                              : nullptr);
    if (!reader) {
        return fail();
    }
    std::optional<ArrowStream> stream = export_arrow_stream(reader.get());
    if (!stream) {
        return fail();
    }
    const long long count = PyLong_AsLongLong(rows.get());
    if (count == -1 && PyErr_Occurred()) {
        PyErr_Clear();
    }
    return ParquetStream{std::move(*stream), count > 0 ? static_cast<std::size_t>(count) : 0};
}

} // namespace annotrove::module
