// Test-only module: exposes the candidate-table reader directly, with its tuning knobs, so tests
// can compare block sizes and scanning kernels on the same input, and the whole-record view with
// the grouped stream the computations use; and the threshold selections on point lists that no
// computed curve produces (falling coverage, ties), with the exact binomial tail and the
// sequences behind ltt.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

#include "binomial_tail.hpp"
#include "calibration.hpp"
#include "table/compressed_input.hpp"
#include "policy/policy_file.hpp"
#include "table/cell_parsers.hpp"
#include "table/csv_reader.hpp"
#include "table/gzip_source.hpp"
#include "table/csv_scanner.hpp"
#include "table/query_groups.hpp"
#include "table/record_reader.hpp"

namespace {

using annotrove::Candidate;
using annotrove::QueryGroups;
using annotrove::Result;
using annotrove::table::CandidateRecord;
using annotrove::table::CandidateTable;
using annotrove::table::CsvReaderSettings;
using annotrove::table::Isa;

// Owns one strong reference; release() hands it on.
class Ref {
  public:
    explicit Ref(PyObject *object = nullptr) : object_(object) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject *get() const { return object_; }
    PyObject *release() {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject *object_;
};

PyObject *new_text(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject *new_row(const CandidateRecord &row, const annotrove::table::TextArena &texts) {
    const auto new_optional_text = [&texts](annotrove::table::TextRef text) {
        return text.has_value() ? new_text(texts.view(text)) : Py_NewRef(Py_None);
    };
    Ref tuple(PyTuple_New(10));
    if (!tuple) {
        return nullptr;
    }
    PyObject *items[10] = {
        new_text(texts.view(row.query_id)),
        new_text(texts.view(row.candidate_id)),
        PyLong_FromUnsignedLongLong(row.rank),
        PyFloat_FromDouble(row.score),
        row.probability ? PyFloat_FromDouble(*row.probability) : Py_NewRef(Py_None),
        new_optional_text(row.smiles),
        new_optional_text(row.inchikey),
        new_optional_text(row.formula),
        new_optional_text(row.target_inchikey),
        row.is_correct ? PyBool_FromLong(*row.is_correct ? 1 : 0) : Py_NewRef(Py_None),
    };
    bool complete = true;
    for (Py_ssize_t i = 0; i < 10; ++i) {
        // The tuple takes every reference, including null ones, so the rest are still released.
        complete = complete && items[i] != nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, items[i]);
    }
    return complete ? tuple.release() : nullptr;
}

PyObject *table_to_list(const Result<CandidateTable> &table) {
    if (!table) {
        PyErr_SetString(PyExc_RuntimeError, table.error().message().c_str());
        return nullptr;
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(table->rows.size())));
    if (!list) {
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (const CandidateRecord &row : table->rows) {
        PyObject *item = new_row(row, table->texts);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), index++, item);
    }
    return list.release();
}

PyObject *optional_float(std::optional<double> value) {
    return value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None);
}

PyObject *optional_bool(std::optional<bool> value) {
    return value ? PyBool_FromLong(*value ? 1 : 0) : Py_NewRef(Py_None);
}

// (query_id, top candidate_id or None, [(rank, score, probability, is_correct), ...]) per group.
PyObject *groups_to_list(const Result<QueryGroups> &groups, bool top_candidate_ids) {
    if (!groups) {
        PyErr_SetString(PyExc_RuntimeError, groups.error().message().c_str());
        return nullptr;
    }
    Ref list(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (const annotrove::QueryGroup &group : groups->groups) {
        Ref rows(PyList_New(0));
        if (!rows) {
            return nullptr;
        }
        for (const Candidate &row : group.candidates) {
            Ref item(Py_BuildValue("(KNNN)", static_cast<unsigned long long>(row.rank),
                                   PyFloat_FromDouble(row.score), optional_float(row.probability()),
                                   optional_bool(row.is_correct())));
            if (!item || PyList_Append(rows.get(), item.get()) < 0) {
                return nullptr;
            }
        }
        Ref top(top_candidate_ids ? new_text(group.top_candidate_id) : Py_NewRef(Py_None));
        Ref id(new_text(group.query_id));
        if (!top || !id) {
            return nullptr;
        }
        Ref entry(PyTuple_Pack(3, id.get(), top.get(), rows.get()));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

// Fills settings from the optional keyword arguments shared by both readers.
bool parse_settings(Py_ssize_t block_size, const char *isa_name, CsvReaderSettings &settings) {
    if (block_size < 0) {
        PyErr_SetString(PyExc_ValueError, "block_size must not be negative");
        return false;
    }
    if (block_size > 0) {
        settings.block_size = static_cast<std::size_t>(block_size);
    }
    const std::optional<Isa> isa = annotrove::table::isa_from_name(isa_name);
    if (!isa) {
        PyErr_Format(PyExc_ValueError, "unknown isa '%s'", isa_name);
        return false;
    }
    if (!annotrove::table::isa_available(*isa)) {
        PyErr_Format(PyExc_ValueError, "isa '%s' is not available here", isa_name);
        return false;
    }
    settings.isa = *isa;
    return true;
}

PyObject *probe_read_candidates(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"path", "block_size", "isa", "background", nullptr};
    const char *path = nullptr;
    Py_ssize_t path_size = 0;
    Py_ssize_t block_size = 0;
    const char *isa = "auto";
    int background = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|$nsp:read_candidates",
                                     const_cast<char **>(keywords), &path, &path_size, &block_size,
                                     &isa, &background)) {
        return nullptr;
    }
    CsvReaderSettings settings;
    if (!parse_settings(block_size, isa, settings)) {
        return nullptr;
    }
    settings.decompress_in_background = background != 0;
    return table_to_list(annotrove::table::read_candidates(
        std::string_view(path, static_cast<std::size_t>(path_size)), settings));
}

PyObject *probe_read_candidates_bytes(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"data", "block_size", "isa", "background", nullptr};
    Py_buffer data;
    Py_ssize_t block_size = 0;
    const char *isa = "auto";
    int background = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$nsp:read_candidates_bytes",
                                     const_cast<char **>(keywords), &data, &block_size, &isa,
                                     &background)) {
        return nullptr;
    }
    CsvReaderSettings settings;
    settings.decompress_in_background = background != 0;
    PyObject *result = nullptr;
    if (parse_settings(block_size, isa, settings)) {
        result = table_to_list(annotrove::table::read_candidates_from_bytes(
            std::string_view(static_cast<const char *>(data.buf),
                             static_cast<std::size_t>(data.len)),
            settings));
    }
    PyBuffer_Release(&data);
    return result;
}

PyObject *probe_read_groups_bytes(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"data",   "block_size", "isa",        "candidate_ids",
                                     "sorted", "threads",    "chunk_size", nullptr};
    Py_buffer data;
    Py_ssize_t block_size = 0;
    const char *isa = "auto";
    int candidate_ids = 1;
    int sorted = 1;
    Py_ssize_t threads = 1;
    Py_ssize_t chunk_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$nsppnn:read_groups_bytes",
                                     const_cast<char **>(keywords), &data, &block_size, &isa,
                                     &candidate_ids, &sorted, &threads, &chunk_size)) {
        return nullptr;
    }
    annotrove::table::ReadOptions read;
    PyObject *result = nullptr;
    if (threads < 1 || chunk_size < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be positive, chunk_size not negative");
    } else if (parse_settings(block_size, isa, read.csv)) {
        read.threads = static_cast<std::size_t>(threads);
        read.csv.chunk_size = static_cast<std::size_t>(chunk_size);
        const annotrove::table::GroupingOptions options{.top_candidate_ids = candidate_ids != 0,
                                                        .sorted_by_id = sorted != 0};
        const std::string_view bytes(static_cast<const char *>(data.buf),
                                     static_cast<std::size_t>(data.len));
        Result<QueryGroups> groups = QueryGroups{};
        {
            // As the module reads: without the interpreter lock, so that a thread the reader
            // started could not take it even by mistake.
            PyThreadState *state = PyEval_SaveThread();
            groups = annotrove::table::read_query_groups_from_bytes(bytes, options, read);
            PyEval_RestoreThread(state);
        }
        result = groups_to_list(groups, options.top_candidate_ids);
    }
    PyBuffer_Release(&data);
    return result;
}

// (parse_float's value or None, is_float's verdict) for the bytes of one cell.
PyObject *probe_float_cell(PyObject *, PyObject *arg) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) {
        return nullptr;
    }
    const std::string_view cell(data, static_cast<std::size_t>(size));
    const std::optional<double> value = annotrove::table::parse_float(cell);
    PyObject *parsed = value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None);
    if (parsed == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(NO)", parsed, annotrove::table::is_float(cell) ? Py_True : Py_False);
}

PyObject *probe_is_parquet_path(PyObject *, PyObject *arg) {
    Py_ssize_t size = 0;
    const char *path = PyUnicode_AsUTF8AndSize(arg, &size);
    if (path == nullptr) {
        return nullptr;
    }
    return PyBool_FromLong(
        annotrove::table::is_parquet_path(std::string_view(path, static_cast<std::size_t>(size))));
}

// policy_text(version): the text written for the default policy with that version, which
// save_policy refuses to write for any version but its own; the writer's string escaping is
// tested through it.
PyObject *probe_policy_text(PyObject *, PyObject *arg) {
    Py_ssize_t size = 0;
    const char *version = PyUnicode_AsUTF8AndSize(arg, &size);
    if (version == nullptr) {
        return nullptr;
    }
    annotrove::PolicyFile policy;
    policy.version.assign(version, static_cast<std::size_t>(size));
    const std::string text = annotrove::policy::policy_to_json(policy);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// select_threshold(method, points, target, level): points are (threshold, accepted, total,
// coverage, errors, risk or None) tuples; returns the selected threshold or None.
PyObject *probe_select_threshold(PyObject *, PyObject *args) {
    const char *method = nullptr;
    PyObject *list = nullptr;
    double target = 0.0;
    double level = std::nan("");
    if (!PyArg_ParseTuple(args, "sO!d|d", &method, &PyList_Type, &list, &target, &level)) {
        return nullptr;
    }
    std::vector<annotrove::CurvePoint> points;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        annotrove::CurvePoint point;
        unsigned long long accepted = 0, total = 0, errors = 0;
        PyObject *risk = nullptr;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(list, i), "dKKdKO", &point.threshold, &accepted,
                              &total, &point.coverage, &errors, &risk)) {
            return nullptr;
        }
        point.accepted = accepted;
        point.total = total;
        point.errors = errors;
        if (risk != Py_None) {
            point.risk = PyFloat_AsDouble(risk);
            if (*point.risk == -1.0 && PyErr_Occurred()) {
                return nullptr;
            }
        }
        points.push_back(point);
    }
    std::optional<double> threshold;
    const std::string_view name(method);
    if (name == "empirical") {
        threshold = annotrove::select_empirical(points, target);
    } else if (name == "crc") {
        threshold = annotrove::select_crc(points, target);
    } else if (name == "binomial") {
        auto selected = annotrove::select_binomial(points, target, level);
        if (!selected) {
            PyErr_SetString(PyExc_RuntimeError, selected.error().message().c_str());
            return nullptr;
        }
        threshold = *selected;
    } else if (name == "ltt") {
        threshold = annotrove::select_ltt(points, target, level);
    } else {
        PyErr_SetString(PyExc_ValueError, "method must be empirical, crc, binomial or ltt");
        return nullptr;
    }
    if (!threshold) {
        Py_RETURN_NONE;
    }
    return PyFloat_FromDouble(*threshold);
}

// binomial_lower_tail(successes, trials, p): P(X <= successes) for X ~ Binomial(trials, p).
PyObject *probe_binomial_lower_tail(PyObject *, PyObject *args) {
    unsigned long long successes = 0, trials = 0;
    double p = 0.0;
    if (!PyArg_ParseTuple(args, "KKd", &successes, &trials, &p)) {
        return nullptr;
    }
    return PyFloat_FromDouble(annotrove::binomial_lower_tail(successes, trials, p));
}

// ltt_plan(scored, target, level): ((start, level), ...), the sequences ltt walks.
PyObject *probe_ltt_plan(PyObject *, PyObject *args) {
    unsigned long long scored = 0;
    double target = 0.0, level = 0.0;
    if (!PyArg_ParseTuple(args, "Kdd", &scored, &target, &level)) {
        return nullptr;
    }
    const annotrove::LttPlan plan(scored, target, level);
    const auto sequences = plan.sequences();
    Ref result(PyTuple_New(static_cast<Py_ssize_t>(sequences.size())));
    if (!result) {
        return nullptr;
    }
    for (std::size_t i = 0; i < sequences.size(); ++i) {
        PyObject *sequence = Py_BuildValue("(Kd)", static_cast<unsigned long long>(sequences[i].start),
                                           sequences[i].level);
        if (sequence == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), sequence);
    }
    return result.release();
}

// The kernels this processor can run, for tests that compare them; the compressions this build
// reads, and the library it inflates gzip with, for tests that need them and for the test script.
int probe_exec(PyObject *module) {
    using annotrove::table::Compression;
    Ref formats(PyList_New(0));
    if (!formats) {
        return -1;
    }
    for (Compression compression : {Compression::gzip, Compression::zstd}) {
        if (!annotrove::table::can_decompress(compression)) {
            continue;
        }
        const std::string_view name = annotrove::table::compression_name(compression);
        Ref item(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!item || PyList_Append(formats.get(), item.get()) < 0) {
            return -1;
        }
    }
    Ref compressions(PyList_AsTuple(formats.get()));
    if (!compressions || PyModule_AddObjectRef(module, "COMPRESSIONS", compressions.get()) < 0 ||
        PyModule_AddStringConstant(module, "GZIP_LIBRARY", annotrove::table::gzip_library()) < 0) {
        return -1;
    }
    Ref names(PyList_New(0));
    if (!names) {
        return -1;
    }
    for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx2}) {
        if (!annotrove::table::isa_available(isa)) {
            continue;
        }
        const std::string_view name = annotrove::table::isa_name(isa);
        Ref item(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!item || PyList_Append(names.get(), item.get()) < 0) {
            return -1;
        }
    }
    Ref isas(PyList_AsTuple(names.get()));
    if (!isas) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "ISAS", isas.get());
}

PyMethodDef probe_methods[] = {
    {"read_candidates",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_read_candidates)),
     METH_VARARGS | METH_KEYWORDS,
     "read_candidates($module, path, /, *, block_size=0, isa='auto', background=True)\n--\n\n"
     "Rows of the candidate table at path as tuples; RuntimeError on failure. background: "
     "decompress a compressed table on a thread of its own."},
    {"read_candidates_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_read_candidates_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "read_candidates_bytes($module, data, /, *, block_size=0, isa='auto', "
     "background=True)\n--\n\n"
     "Rows of the candidate table held in data as tuples; RuntimeError on failure."},
    {"read_groups_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_read_groups_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "read_groups_bytes($module, data, /, *, block_size=0, isa='auto', candidate_ids=True, "
     "sorted=True, threads=1, chunk_size=0)\n--\n\n"
     "The query groups the computations see, in query_id order (else in order of first "
     "appearance), as (query_id, top candidate_id "
     "or None, [(rank, score, probability, is_correct), ...]) tuples; RuntimeError on failure."},
    {"float_cell", probe_float_cell, METH_O,
     "float_cell($module, cell, /)\n--\n\n(parse_float's value or None, is_float's verdict) of a cell's bytes."},
    {"is_parquet_path", probe_is_parquet_path, METH_O,
     "is_parquet_path($module, path, /)\n--\n\nWhether the path is refused as Parquet."},
    {"policy_text", probe_policy_text, METH_O,
     "policy_text($module, version, /)\n--\n\nThe policy file text of the default policy with "
     "that version."},
    {"select_threshold", probe_select_threshold, METH_VARARGS,
     "select_threshold($module, method, points, target, level=nan, /)\n--\n\n"
     "The threshold a calibration method selects from (threshold, accepted, total, coverage, "
     "errors, risk) tuples, or None."},
    {"binomial_lower_tail", probe_binomial_lower_tail, METH_VARARGS,
     "binomial_lower_tail($module, successes, trials, p, /)\n--\n\n"
     "P(X <= successes) for X ~ Binomial(trials, p)."},
    {"ltt_plan", probe_ltt_plan, METH_VARARGS,
     "ltt_plan($module, scored, target, level, /)\n--\n\n"
     "The (start place, level) of every sequence ltt walks."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(probe_exec)},
    {0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "_annotrove_probe",
    "Test-only access to the candidate-table reader and the threshold selections.",
    0,
    probe_methods,
    probe_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__annotrove_probe() {
    return PyModuleDef_Init(&probe_module);
}
