#include "comparison_dicts.hpp"

#include <optional>

#include "result_dicts.hpp"

namespace annotrove::module {

namespace {

// Sets a str key; the key object is created here, the value consumed.
bool set_named(PyObject *dict, const char *key, PyRef value) {
    if (!value) {
        return false;
    }
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef float_object(double value) { return PyRef(PyFloat_FromDouble(value)); }

PyRef count_object(std::uint64_t value) { return PyRef(PyLong_FromUnsignedLongLong(value)); }

// A value and its two bounds under `name`, `name`_low and `name`_high.
bool set_bounded(PyObject *dict, const char *name, const char *low_key, const char *high_key,
                 double value, const std::optional<Interval> &bounds) {
    return set_named(dict, name, float_object(value)) &&
           set_named(dict, low_key,
                     bounds ? float_object(bounds->low) : PyRef::borrowed(Py_None)) &&
           set_named(dict, high_key,
                     bounds ? float_object(bounds->high) : PyRef::borrowed(Py_None));
}

PyRef comparison_to_dict(const ScoreComparison &row, std::string_view name, bool with_curve) {
    PyRef dict(PyDict_New());
    if (!dict) {
        return {};
    }
    PyObject *d = dict.get();
    const bool filled =
        set_named(d, "score", text_object(name)) &&
        set_bounded(d, "aurc", "aurc_low", "aurc_high", row.aurc, row.aurc_bounds) &&
        set_bounded(d, "eaurc", "eaurc_low", "eaurc_high", row.eaurc, row.eaurc_bounds) &&
        set_bounded(d, "augrc", "augrc_low", "augrc_high", row.augrc, row.augrc_bounds) &&
        set_bounded(d, "auroc", "auroc_low", "auroc_high", row.auroc, row.auroc_bounds) &&
        set_named(d, "scored", count_object(row.scored)) &&
        set_named(d, "labelled", count_object(row.labelled)) &&
        set_named(d, "top1_error", float_object(row.top1_error)) &&
        set_bounded(d, "aurc_difference", "aurc_difference_low", "aurc_difference_high",
                    row.aurc_difference, row.aurc_difference_bounds) &&
        set_named(d, "distinguishable",
                  PyRef::borrowed(!row.distinguishable ? Py_None
                                  : *row.distinguishable ? Py_True
                                                         : Py_False));
    if (!filled) {
        return {};
    }
    if (with_curve && !set_named(d, "curve", curve_to_dicts(row.curve))) {
        return {};
    }
    return dict;
}

} // namespace

PyRef comparisons_to_dicts(std::span<const ScoreComparison> comparisons,
                           std::span<const std::string> names, bool with_curves) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(comparisons.size())));
    if (!list) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const ScoreComparison &row : comparisons) {
        PyRef dict = comparison_to_dict(row, names[row.request], with_curves);
        if (!dict) {
            return {};
        }
        PyList_SET_ITEM(list.get(), index++, dict.release());
    }
    return list;
}

} // namespace annotrove::module
