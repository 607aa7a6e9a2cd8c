// Curve points and decisions as Python dicts, and curve dicts back into points.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <vector>

#include "apply_policy.hpp"
#include "curve_point.hpp"
#include "py_ref.hpp"

namespace annotrove::module {

PyRef curve_to_dicts(std::span<const CurvePoint> points);

// Raises the host's conversion exception, or KeyError "missing '<key>'", for the first bad item.
std::optional<std::vector<CurvePoint>> curve_from_dicts(PyObject *list);

PyRef decisions_to_dicts(std::span<const Decision> decisions);

// A new str holding UTF-8 text.
PyRef text_object(std::string_view text);

// Sets `key` in a new dict to a value that this call creates (the reference is consumed).
bool set_item(PyObject *dict, PyObject *key, PyRef value);

} // namespace annotrove::module
