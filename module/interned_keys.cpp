#include "interned_keys.hpp"

#include <array>
#include <atomic>

#include "exceptions.hpp"

namespace annotrove::module {

namespace {

constexpr std::array<const char *, static_cast<std::size_t>(Key::Count)> key_texts = {
    "threshold",
    "accepted",
    "total",
    "coverage",
    "errors",
    "risk",
    "query_id",
    "candidate_id",
    "confidence",
    "method",
    "version",
    "scoring_method",
    "target_error_rate",
    "calibration_method",
    "confidence_level",
    "created_by",
};

std::array<std::atomic<PyObject *>, static_cast<std::size_t>(Key::Count)> key_objects{};

} // namespace

const char *key_text(Key key) {
    return key_texts[static_cast<std::size_t>(key)];
}

PyObject *key_object(Key key) {
    std::atomic<PyObject *> &slot = key_objects[static_cast<std::size_t>(key)];
    PyObject *existing = slot.load();
    if (existing != nullptr) {
        return existing;
    }
    PyObject *created = PyUnicode_InternFromString(key_text(key));
    if (created == nullptr) {
        return nullptr;
    }
    PyObject *expected = nullptr;
    if (!slot.compare_exchange_strong(expected, created)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

PyRef lookup_value(PyObject *dict, Key key, bool required) {
    PyObject *key_string = key_object(key);
    if (key_string == nullptr) {
        return {};
    }
    PyObject *value = PyDict_GetItemWithError(dict, key_string);
    if (value == nullptr && required && !PyErr_Occurred()) {
        raise_missing_key(key_text(key));
    }
    return PyRef::borrowed(value);
}

} // namespace annotrove::module
