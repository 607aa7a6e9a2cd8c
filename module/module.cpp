// The annotrove module: its definition, the execution step that registers the seven functions,
// and the entry points, each of which converts its arguments, calls the core and converts back.
#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "apply_policy.hpp"
#include "arguments.hpp"
#include "calibration.hpp"
#include "curve_point.hpp"
#include "exceptions.hpp"
#include "policy.hpp"
#include "policy/policy_file.hpp"
#include "policy_dict.hpp"
#include "py_ref.hpp"
#include "released_lock.hpp"
#include "result_dicts.hpp"
#include "scoring/scoring_method.hpp"
#include "table_argument.hpp"
#include "table_operations.hpp"

#ifndef ANNOTROVE_VERSION
#error "ANNOTROVE_VERSION (the distribution's version) must be defined by the build"
#endif

namespace annotrove::module {

namespace {

constexpr std::array<const char *, 2> compute_curve_parameters = {"csv_path", "score"};
constexpr std::array<const char *, 1> curve_parameters = {"curve"};
constexpr std::array<const char *, 5> calibrate_parameters = {"csv_path", "score", "error_rate",
                                                              "method", "confidence_level"};
constexpr std::array<const char *, 2> apply_policy_parameters = {"csv_path", "policy_dict"};
constexpr std::array<const char *, 1> load_policy_parameters = {"path"};
constexpr std::array<const char *, 2> save_policy_parameters = {"path", "policy_dict"};

// How many threads may read the table: the keyword-only argument of the three table functions.
constexpr std::array<const char *, 1> table_keyword_only = {"threads"};

constexpr Signature compute_curve_signature{"compute_curve", compute_curve_parameters, 2,
                                            table_keyword_only};
constexpr Signature aurc_signature{"aurc", curve_parameters, 1};
constexpr Signature eaurc_signature{"eaurc", curve_parameters, 1};
constexpr Signature calibrate_signature{"calibrate", calibrate_parameters, 3, table_keyword_only};
constexpr Signature apply_policy_signature{"apply_policy", apply_policy_parameters, 2,
                                           table_keyword_only};
constexpr Signature load_policy_signature{"load_policy", load_policy_parameters, 1};
constexpr Signature save_policy_signature{"save_policy", save_policy_parameters, 2};

std::optional<scoring::ScoringMethod> parse_score_argument(std::string_view text) {
    std::optional<scoring::ScoringMethod> method = scoring::parse_score_method(text);
    if (!method) {
        raise_value_error(scoring::unknown_score_method_message(text));
    }
    return method;
}

// The curve of a table, opened now (after every argument is converted and every name parsed),
// read and computed without the interpreter lock; raises the RuntimeError of a core error.
std::optional<std::vector<CurvePoint>> table_curve(TableArgument &table,
                                                   scoring::ScoringMethod method,
                                                   std::size_t threads) {
    if (!table.open()) {
        return std::nullopt;
    }
    const table::TableSource source = table.source();
    Result<std::vector<CurvePoint>> points = without_lock([&] {
        return curve_of_table(source, method, table::ReadOptions{.threads = threads});
    });
    if (!points) {
        raise_core_error(points.error());
        return std::nullopt;
    }
    return std::move(*points);
}

// The text argument at `index`, converted with the parameter's own name in any message.
std::optional<std::string_view> text_argument(const Signature &signature,
                                              const MatchedArguments &matched, std::size_t index) {
    return convert_text(signature.function, signature.parameters[index], matched[index]);
}

// The keyword-only 'threads' of a table function, matched after its other parameters.
std::optional<std::size_t> threads_argument(const Signature &signature,
                                            const MatchedArguments &matched) {
    return convert_threads(signature.function, matched[signature.parameters.size()]);
}

// A policy dict argument, read completely here, before the caller opens or creates any file.
std::optional<PolicyFile> policy_argument(const Signature &signature,
                                          const MatchedArguments &matched, std::size_t index) {
    if (!check_dict(signature.function, signature.parameters[index], matched[index])) {
        return std::nullopt;
    }
    return policy_from_dict(matched[index]);
}

struct TableArguments {
    MatchedArguments matched;
    TableArgument table;
    std::string_view score;
};

// The matched arguments of compute_curve and calibrate with their first two, the table and the
// score name, converted (the name is parsed later, after every argument is converted).
std::optional<TableArguments> table_arguments(const Signature &signature, PyObject *const *args,
                                              Py_ssize_t nargs, PyObject *kwnames) {
    std::optional<MatchedArguments> matched = match_arguments(signature, args, nargs, kwnames);
    if (!matched) {
        return std::nullopt;
    }
    std::optional<TableArgument> table =
        TableArgument::convert(signature.function, signature.parameters[0], (*matched)[0]);
    if (!table) {
        return std::nullopt;
    }
    std::optional<std::string_view> score = text_argument(signature, *matched, 1);
    if (!score) {
        return std::nullopt;
    }
    return TableArguments{*matched, std::move(*table), *score};
}

PyObject *compute_curve(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        std::optional<TableArguments> arguments =
            table_arguments(compute_curve_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        const std::optional<std::size_t> threads =
            threads_argument(compute_curve_signature, arguments->matched);
        if (!threads) {
            return nullptr;
        }
        std::optional<scoring::ScoringMethod> method = parse_score_argument(arguments->score);
        if (!method) {
            return nullptr;
        }
        // The table is released inside the core before the result dicts are built, so the two
        // never occupy memory at once.
        std::optional<std::vector<CurvePoint>> points =
            table_curve(arguments->table, *method, *threads);
        if (!points) {
            return nullptr;
        }
        return curve_to_dicts(*points).release();
    });
}

template <double (*summary)(std::span<const CurvePoint>)>
PyObject *curve_summary(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        std::optional<MatchedArguments> matched = match_arguments(signature, args, nargs, kwnames);
        if (!matched) {
            return nullptr;
        }
        PyObject *curve = (*matched)[0];
        if (!check_list(signature.function, "curve", curve)) {
            return nullptr;
        }
        std::optional<std::vector<CurvePoint>> points = curve_from_dicts(curve);
        if (!points) {
            return nullptr;
        }
        return PyFloat_FromDouble(summary(*points));
    });
}

PyObject *aurc_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return curve_summary<aurc>(aurc_signature, args, nargs, kwnames);
}

PyObject *eaurc_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return curve_summary<eaurc>(eaurc_signature, args, nargs, kwnames);
}

PyObject *calibrate(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        const Signature &signature = calibrate_signature;
        std::optional<TableArguments> arguments = table_arguments(signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        const MatchedArguments &matched = arguments->matched;
        std::optional<double> error_rate = convert_number("error_rate", matched[2]);
        if (!error_rate) {
            return nullptr;
        }
        std::string_view method_text = "empirical";
        if (matched[3] != nullptr) {
            std::optional<std::string_view> text = text_argument(signature, matched, 3);
            if (!text) {
                return nullptr;
            }
            method_text = *text;
        }
        std::optional<double> confidence_level;
        if (matched[4] != nullptr && matched[4] != Py_None) {
            confidence_level = convert_number("confidence_level", matched[4]);
            if (!confidence_level) {
                return nullptr;
            }
        }
        const std::optional<std::size_t> threads = threads_argument(signature, matched);
        if (!threads) {
            return nullptr;
        }

        std::optional<scoring::ScoringMethod> scoring_method =
            parse_score_argument(arguments->score);
        if (!scoring_method) {
            return nullptr;
        }
        std::optional<CalibrationMethod> calibration_method = parse_calibration_method(method_text);
        if (!calibration_method) {
            raise_value_error(unknown_calibration_method_message(method_text));
            return nullptr;
        }

        std::optional<std::vector<CurvePoint>> curve =
            table_curve(arguments->table, *scoring_method, *threads);
        if (!curve) {
            return nullptr;
        }
        const std::vector<CurvePoint> &points = *curve;

        std::optional<double> threshold;
        switch (*calibration_method) {
        case CalibrationMethod::Empirical:
            threshold = select_empirical(points, *error_rate);
            break;
        case CalibrationMethod::Crc:
            threshold = select_crc(points, *error_rate);
            break;
        case CalibrationMethod::Binomial: {
            if (!confidence_level) {
                raise_value_error("confidence_level required for binomial method");
                return nullptr;
            }
            Result<std::optional<double>> selected =
                select_binomial(points, *error_rate, *confidence_level);
            if (!selected) {
                raise_core_error(selected.error());
                return nullptr;
            }
            threshold = *selected;
            break;
        }
        case CalibrationMethod::Ltt:
            if (!confidence_level) {
                raise_value_error("confidence_level required for ltt method");
                return nullptr;
            }
            if (!ltt_level_is_valid(*confidence_level)) {
                raise_value_error(ltt_level_message(*confidence_level));
                return nullptr;
            }
            threshold = select_ltt(points, *error_rate, *confidence_level);
            break;
        }

        PolicyFile policy;
        policy.scoring_method = *scoring_method;
        policy.threshold = threshold.value_or(NO_QUALIFYING_THRESHOLD);
        policy.target_error_rate = *error_rate;
        policy.calibration_method = *calibration_method;
        policy.confidence_level = confidence_level;
        return policy_to_dict(policy).release();
    });
}

PyObject *apply_policy(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        const Signature &signature = apply_policy_signature;
        std::optional<MatchedArguments> matched = match_arguments(signature, args, nargs, kwnames);
        if (!matched) {
            return nullptr;
        }
        std::optional<TableArgument> table =
            TableArgument::convert(signature.function, signature.parameters[0], (*matched)[0]);
        if (!table) {
            return nullptr;
        }
        std::optional<PolicyFile> policy = policy_argument(signature, *matched, 1);
        if (!policy) {
            return nullptr;
        }
        const std::optional<std::size_t> threads = threads_argument(signature, *matched);
        if (!threads || !table->open()) {
            return nullptr;
        }
        const table::TableSource source = table->source();
        Result<TableDecisions> decided = without_lock([&] {
            return decide_table(source, *policy, table::ReadOptions{.threads = *threads});
        });
        if (!decided) {
            raise_core_error(decided.error());
            return nullptr;
        }
        return decisions_to_dicts(decided->decisions).release();
    });
}

PyObject *load_policy(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        const Signature &signature = load_policy_signature;
        std::optional<MatchedArguments> matched = match_arguments(signature, args, nargs, kwnames);
        if (!matched) {
            return nullptr;
        }
        std::optional<PathText> path =
            convert_path(signature.function, signature.parameters[0], (*matched)[0]);
        if (!path) {
            return nullptr;
        }
        Result<PolicyFile> policy =
            without_lock([text = path->text] { return policy::read_policy_file(text); });
        if (!policy) {
            raise_core_error(policy.error());
            return nullptr;
        }
        return policy_to_dict(*policy).release();
    });
}

PyObject *save_policy(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        const Signature &signature = save_policy_signature;
        std::optional<MatchedArguments> matched = match_arguments(signature, args, nargs, kwnames);
        if (!matched) {
            return nullptr;
        }
        std::optional<PathText> path =
            convert_path(signature.function, signature.parameters[0], (*matched)[0]);
        if (!path) {
            return nullptr;
        }
        std::optional<PolicyFile> policy = policy_argument(signature, *matched, 1);
        if (!policy) {
            return nullptr;
        }
        Result<void> written =
            without_lock([&] { return policy::write_policy_file(path->text, *policy); });
        if (!written) {
            raise_core_error(written.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// Fast-call entries are stored as PyCFunction, as the host's method table expects.
template <typename Entry> PyCFunction as_method(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr int fast_call = METH_FASTCALL | METH_KEYWORDS;

// Registration order, which is also the order of __all__.
PyMethodDef function_definitions[] = {
    {"compute_curve", as_method(compute_curve), fast_call,
     "compute_curve(csv_path, score, *, threads=None)\n--\n\n"
     "Compute the risk-coverage curve from a labeled candidates CSV.\n"
     "Returns a list of dicts: threshold, accepted, total, coverage, errors, risk."},
    {"aurc", as_method(aurc_entry), fast_call,
     "aurc(curve)\n--\n\n"
     "Compute AURC for a risk-coverage curve (list of dicts from compute_curve)."},
    {"eaurc", as_method(eaurc_entry), fast_call,
     "eaurc(curve)\n--\n\nCompute E-AURC for a risk-coverage curve."},
    {"calibrate", as_method(calibrate), fast_call,
     "calibrate(csv_path, score, error_rate, method=\"empirical\", confidence_level=None, *, "
     "threads=None)\n--\n\n"
     "Calibrate a trust threshold and return a policy dict."},
    {"apply_policy", as_method(apply_policy), fast_call,
     "apply_policy(csv_path, policy_dict, *, threads=None)\n--\n\n"
     "Apply a policy dict to a candidates CSV. Returns a list of decision dicts."},
    {"load_policy", as_method(load_policy), fast_call,
     "load_policy(path)\n--\n\nLoad a policy JSON file. Returns a policy dict."},
    {"save_policy", as_method(save_policy), fast_call,
     "save_policy(path, policy_dict)\n--\n\nSave a policy dict to a JSON file."},
};

// Appends a function's name to the module's __all__, creating the list on first use.
int append_to_all(PyObject *module, PyObject *name) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return -1;
        }
    }
    if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "__all__ must be a list, not %s",
                     Py_TYPE(all.get())->tp_name);
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        raise_internal_error("could not append __name__ to __all__");
        return -1;
    }
    return 0;
}

int add_function(PyObject *module, PyObject *module_name, PyMethodDef *definition) {
    PyRef function(PyCMethod_New(definition, module, module_name, nullptr));
    if (!function) {
        return -1;
    }
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return -1;
    }
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ must be str");
        return -1;
    }
    if (append_to_all(module, name.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttr(module, name.get(), function.get());
}

int execute_module(PyObject *module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module, got %s", Py_TYPE(module)->tp_name);
        return -1;
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return -1;
    }
    for (PyMethodDef &definition : function_definitions) {
        if (add_function(module, module_name.get(), &definition) < 0) {
            return -1;
        }
    }
    // Like every module's __version__, not part of __all__: `from annotrove import *` takes the
    // seven functions only.
    return PyModule_AddStringConstant(module, "__version__", ANNOTROVE_VERSION);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(execute_module)},
    // The interned keys and the internal-failure type are process-wide objects, which an
    // interpreter with its own lock must not share.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "annotrove", // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods
    module_slots,
    nullptr, // m_traverse
    nullptr, // m_clear
    nullptr, // m_free
};

} // namespace

} // namespace annotrove::module

PyMODINIT_FUNC PyInit_annotrove() {
    return PyModuleDef_Init(&annotrove::module::module_definition);
}
