// The annotrove module: its definition, the execution step that registers its functions,
// and the entry points, each of which converts its arguments, calls the core and converts back.
#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "apply_policy.hpp"
#include "arguments.hpp"
#include "calibration.hpp"
#include "comparison_dicts.hpp"
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

constexpr std::array<const char *, 3> compute_curve_parameters = {"csv_path", "score", "threads"};
constexpr std::array<const char *, 1> curve_parameters = {"curve"};
constexpr std::array<const char *, 6> calibrate_parameters = {
    "csv_path", "score", "error_rate", "method", "confidence_level", "threads"};
constexpr std::array<const char *, 3> apply_policy_parameters = {"csv_path", "policy_dict",
                                                               "threads"};
constexpr std::array<const char *, 1> load_policy_parameters = {"path"};
constexpr std::array<const char *, 2> save_policy_parameters = {"path", "policy_dict"};

constexpr std::array<const char *, 7> compare_scores_parameters = {
    "table", "scores", "resamples", "level", "seed", "curves", "threads"};

// compute_curve(csv_path, score, *, threads=None); the other two table functions end the same
// way: how many threads may read the table, by keyword only.
constexpr Signature compute_curve_signature{"compute_curve", compute_curve_parameters, 2, 2};
constexpr Signature aurc_signature{"aurc", curve_parameters, 1};
constexpr Signature eaurc_signature{"eaurc", curve_parameters, 1};
constexpr Signature calibrate_signature{"calibrate", calibrate_parameters, 3, 5};
constexpr Signature apply_policy_signature{"apply_policy", apply_policy_parameters, 2, 2};
constexpr Signature load_policy_signature{"load_policy", load_policy_parameters, 1};
constexpr Signature save_policy_signature{"save_policy", save_policy_parameters, 2};
constexpr Signature augrc_signature{"augrc", curve_parameters, 1};
// compare_scores(table, scores=None, *, resamples=2000, level=0.95, seed=0, curves=False,
//                threads=None)
constexpr Signature compare_scores_signature{"compare_scores", compare_scores_parameters, 1, 2};

// The forms compare_scores names the eight methods by when no list is given, in the module's
// order (the forms the command line uses).
constexpr std::array<std::string_view, scoring::SCORING_METHOD_COUNT> default_score_names = {
    "max-prob",    "score-gap", "margin",      "entropy",
    "score-ratio", "topk-gap",  "effective-k", "candidate-count"};

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

// The keyword-only 'threads' of a table function, its first keyword-only parameter.
std::optional<std::size_t> threads_argument(const Signature &signature,
                                            const MatchedArguments &matched) {
    const std::size_t index = signature.keyword_only_from;
    return convert_threads(signature.function, signature.parameters[index], matched[index]);
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

PyObject *augrc_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return curve_summary<augrc>(augrc_signature, args, nargs, kwnames);
}

// The `scores` argument: None for all eight, or a list or tuple of str. Only the texts are taken
// here; the names are parsed once every argument is converted.
std::optional<std::vector<std::string>> score_names(const Signature &signature,
                                                    PyObject *value) {
    std::vector<std::string> names;
    if (value == nullptr || value == Py_None) {
        names.assign(default_score_names.begin(), default_score_names.end());
        return names;
    }
    const char *parameter = signature.parameters[1];
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a list of str or None, not %s",
                     signature.function, parameter, Py_TYPE(value)->tp_name);
        add_processing_note(parameter);
        return std::nullopt;
    }
    // A tuple cannot change and the list is copied, so no item's conversion can pull an item
    // away under the loop; the names are copied too, since another thread may change the list
    // while the table is read without the lock.
    PyRef items(PySequence_Tuple(value));
    if (!items) {
        return std::nullopt;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold str items, not %s",
                         signature.function, parameter, Py_TYPE(item)->tp_name);
            add_processing_note(parameter);
            return std::nullopt;
        }
        std::optional<std::string_view> text = utf8_of(item);
        if (!text) {
            add_processing_note(parameter);
            return std::nullopt;
        }
        names.emplace_back(*text);
    }
    return names;
}

struct ComparisonArguments {
    TableArgument table;
    std::vector<std::string> names;
    std::vector<scoring::ScoringMethod> methods;
    ComparisonSettings settings;
    std::size_t threads = 1;
};

// Converts every argument of compare_scores in parameter order, then parses the score names.
std::optional<ComparisonArguments> comparison_arguments(PyObject *const *args, Py_ssize_t nargs,
                                                        PyObject *kwnames) {
    const Signature &signature = compare_scores_signature;
    std::optional<MatchedArguments> matched = match_arguments(signature, args, nargs, kwnames);
    if (!matched) {
        return std::nullopt;
    }
    // The table is only checked here and opened once every other argument is converted.
    std::optional<TableArgument> table =
        TableArgument::convert(signature.function, signature.parameters[0], (*matched)[0]);
    if (!table) {
        return std::nullopt;
    }
    ComparisonArguments arguments{std::move(*table), {}, {}, {}, 1};
    std::optional<std::vector<std::string>> names = score_names(signature, (*matched)[1]);
    if (!names) {
        return std::nullopt;
    }
    arguments.names = std::move(*names);
    if (PyObject *value = (*matched)[2]; value != nullptr) {
        std::optional<std::uint64_t> resamples =
            convert_count(signature.function, signature.parameters[2], value);
        if (!resamples) {
            return std::nullopt;
        }
        arguments.settings.resamples = *resamples;
    }
    if (PyObject *value = (*matched)[3]; value != nullptr) {
        std::optional<double> level = convert_number(signature.parameters[3], value);
        if (!level) {
            return std::nullopt;
        }
        // Written so that NaN fails too.
        if (!(*level > 0.0 && *level < 1.0)) {
            PyRef shown(PyFloat_FromDouble(*level));
            PyErr_Format(PyExc_ValueError,
                         "%s() argument 'level' must lie strictly between 0 and 1, got %R",
                         signature.function, shown.get());
            add_processing_note(signature.parameters[3]);
            return std::nullopt;
        }
        arguments.settings.level = *level;
    }
    if (PyObject *value = (*matched)[4]; value != nullptr) {
        std::optional<std::uint64_t> seed =
            convert_seed(signature.function, signature.parameters[4], value);
        if (!seed) {
            return std::nullopt;
        }
        arguments.settings.seed = *seed;
    }
    if (PyObject *value = (*matched)[5]; value != nullptr) {
        std::optional<bool> curves =
            convert_flag(signature.function, signature.parameters[5], value);
        if (!curves) {
            return std::nullopt;
        }
        arguments.settings.keep_curves = *curves;
    }
    std::optional<std::size_t> threads =
        convert_threads(signature.function, signature.parameters[6], (*matched)[6]);
    if (!threads) {
        return std::nullopt;
    }
    // The same threads read the table and then share the resamples.
    arguments.threads = *threads;
    arguments.settings.threads = *threads;
    for (const std::string &name : arguments.names) {
        std::optional<scoring::ScoringMethod> method = parse_score_argument(name);
        if (!method) {
            return std::nullopt;
        }
        arguments.methods.push_back(*method);
    }
    return arguments;
}

PyObject *compare_scores(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        std::optional<ComparisonArguments> arguments =
            comparison_arguments(args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        if (!arguments->table.open()) {
            return nullptr;
        }
        // The table is read once and released inside the core; only the summaries come back.
        const table::TableSource source = arguments->table.source();
        Result<std::vector<ScoreComparison>> compared = without_lock([&] {
            return compare_scores_of_table(source, arguments->methods, arguments->settings,
                                           table::ReadOptions{.threads = arguments->threads});
        });
        if (!compared) {
            raise_core_error(compared.error());
            return nullptr;
        }
        return comparisons_to_dicts(*compared, arguments->names, arguments->settings.keep_curves)
            .release();
    });
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
    {"augrc", as_method(augrc_entry), fast_call,
     "augrc(curve)\n--\n\n"
     "Compute AUGRC, the area under the generalized risk-coverage curve (risk = errors / total)."},
    {"compare_scores", as_method(compare_scores), fast_call,
     "compare_scores(table, scores=None, *, resamples=2000, level=0.95, seed=0, curves=False, "
     "threads=None)\n"
     "--\n\n"
     "Compare score methods on a labelled table, read once: AURC, E-AURC, AUGRC and failure\n"
     "AUROC with percentile bootstrap bounds, and each method's paired AURC difference to the\n"
     "best. Returns one dict per method, lowest AURC first."},
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
