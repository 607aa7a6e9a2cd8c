#include "result_dicts.hpp"

#include <bit>
#include <cstdint>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "interned_keys.hpp"

namespace annotrove::module {

namespace {

std::optional<double> read_float(PyObject *dict, Key key) {
    PyRef value = lookup_value(dict, key, true);
    if (!value) {
        return std::nullopt;
    }
    return to_double(value.get());
}

std::optional<std::uint64_t> read_count(PyObject *dict, Key key) {
    PyRef value = lookup_value(dict, key, true);
    if (!value) {
        return std::nullopt;
    }
    PyRef index(PyNumber_Index(value.get()));
    if (!index) {
        return std::nullopt;
    }
    const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(count);
}

std::optional<CurvePoint> point_from_dict(PyObject *item) {
    if (!PyDict_Check(item)) {
        PyErr_Format(PyExc_TypeError, "curve item must be dict, not %s", Py_TYPE(item)->tp_name);
        return std::nullopt;
    }
    CurvePoint point;
    // Each value is converted right after its own lookup, so the first problem in key order wins.
    std::optional<double> threshold = read_float(item, Key::Threshold);
    if (!threshold) {
        return std::nullopt;
    }
    point.threshold = *threshold;
    std::optional<std::uint64_t> accepted = read_count(item, Key::Accepted);
    if (!accepted) {
        return std::nullopt;
    }
    point.accepted = *accepted;
    std::optional<std::uint64_t> total = read_count(item, Key::Total);
    if (!total) {
        return std::nullopt;
    }
    point.total = *total;
    std::optional<double> coverage = read_float(item, Key::Coverage);
    if (!coverage) {
        return std::nullopt;
    }
    point.coverage = *coverage;
    std::optional<std::uint64_t> errors = read_count(item, Key::Errors);
    if (!errors) {
        return std::nullopt;
    }
    point.errors = *errors;
    PyRef risk = lookup_value(item, Key::Risk, true);
    if (!risk) {
        return std::nullopt;
    }
    if (risk.get() != Py_None) {
        std::optional<double> value = to_double(risk.get());
        if (!value) {
            return std::nullopt;
        }
        point.risk = *value;
    }
    return point;
}

} // namespace

PyRef text_object(std::string_view text) {
    return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

bool set_item(PyObject *dict, PyObject *key, PyRef value) {
    if (!value || key == nullptr) {
        return false;
    }
    return PyDict_SetItem(dict, key, value.get()) == 0;
}

PyRef curve_to_dicts(std::span<const CurvePoint> points) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(points.size())));
    if (!list) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const CurvePoint &point : points) {
        PyRef dict(PyDict_New());
        if (!dict ||
            !set_item(dict.get(), key_object(Key::Threshold),
                      PyRef(PyFloat_FromDouble(point.threshold))) ||
            !set_item(dict.get(), key_object(Key::Accepted),
                      PyRef(PyLong_FromUnsignedLongLong(point.accepted))) ||
            !set_item(dict.get(), key_object(Key::Total),
                      PyRef(PyLong_FromUnsignedLongLong(point.total))) ||
            !set_item(dict.get(), key_object(Key::Coverage),
                      PyRef(PyFloat_FromDouble(point.coverage))) ||
            !set_item(dict.get(), key_object(Key::Errors),
                      PyRef(PyLong_FromUnsignedLongLong(point.errors))) ||
            !set_item(dict.get(), key_object(Key::Risk),
                      point.risk ? PyRef(PyFloat_FromDouble(*point.risk))
                                 : PyRef::borrowed(Py_None))) {
            return {};
        }
        PyList_SET_ITEM(list.get(), index++, dict.release());
    }
    return list;
}

std::optional<std::vector<CurvePoint>> curve_from_dicts(PyObject *list) {
    std::vector<CurvePoint> points;
    points.reserve(4);
    // The list may change under us if an item's conversion runs Python code, so re-read its size.
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(list); ++index) {
        PyRef item = PyRef::borrowed(PyList_GET_ITEM(list, index));
        std::optional<CurvePoint> point = point_from_dict(item.get());
        if (!point) {
            return std::nullopt;
        }
        points.push_back(*point);
    }
    return points;
}

PyRef decisions_to_dicts(std::span<const Decision> decisions) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(decisions.size())));
    if (!list) {
        return {};
    }
    // Every decision of a call names the same method and, but for per-group thresholds, the same
    // threshold: one object of each serves every dict that holds an equal value.
    PyRef method;
    std::string_view method_text;
    PyRef threshold;
    std::uint64_t threshold_bits = 0;
    Py_ssize_t index = 0;
    for (const Decision &decision : decisions) {
        if (!method || decision.method != method_text) {
            method = text_object(decision.method);
            method_text = decision.method;
        }
        const auto bits = std::bit_cast<std::uint64_t>(decision.threshold);
        if (!threshold || bits != threshold_bits) {
            threshold = PyRef(PyFloat_FromDouble(decision.threshold));
            threshold_bits = bits;
        }
        if (!method || !threshold) {
            return {};
        }
        PyRef dict(PyDict_New());
        if (!dict ||
            !set_item(dict.get(), key_object(Key::QueryId), text_object(decision.query_id)) ||
            !set_item(dict.get(), key_object(Key::CandidateId),
                      text_object(decision.candidate_id)) ||
            !set_item(dict.get(), key_object(Key::Confidence),
                      PyRef(PyFloat_FromDouble(decision.confidence))) ||
            !set_item(dict.get(), key_object(Key::Accepted),
                      PyRef::borrowed(decision.accepted ? Py_True : Py_False)) ||
            !set_item(dict.get(), key_object(Key::Threshold), PyRef::borrowed(threshold.get())) ||
            !set_item(dict.get(), key_object(Key::Method), PyRef::borrowed(method.get()))) {
            return {};
        }
        PyList_SET_ITEM(list.get(), index++, dict.release());
    }
    return list;
}

} // namespace annotrove::module
