// Dict keys the module reads and writes, created once as interned strings and kept for the life
// of the process, so filling millions of result dicts creates no key objects.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace annotrove::module {

enum class Key {
    Threshold,
    Accepted,
    Total,
    Coverage,
    Errors,
    Risk,
    QueryId,
    CandidateId,
    Confidence,
    Method,
    Version,
    ScoringMethod,
    TargetErrorRate,
    CalibrationMethod,
    ConfidenceLevel,
    CreatedBy,
    Count,
};

// Borrowed; null with an exception set if the key could not be created.
PyObject *key_object(Key key);
const char *key_text(Key key);

// The value of `key`, looked up with the dict's own lookup (no __getitem__, no __missing__) and
// owned here, since converting it may run Python code that changes the dict. Null when absent:
// with KeyError "missing '<key>'" set when `required`, with no exception otherwise.
PyRef lookup_value(PyObject *dict, Key key, bool required);

} // namespace annotrove::module
