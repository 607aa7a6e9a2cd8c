// Dict keys the module reads and writes, created once as interned strings and kept for the life
// of the process, so filling millions of result dicts creates no key objects.
#pragma once

#include <Python.h>

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

} // namespace annotrove::module
