#include "exceptions.hpp"

#include <atomic>

#include "py_ref.hpp"

namespace annotrove::module {

namespace {

PyRef utf8_text(std::string_view text) {
    return PyRef(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise_with_text(PyObject *type, std::string_view message) {
    PyRef text = utf8_text(message);
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

// Created on first use while holding the interpreter lock; a thread that loses the race to
// publish its type simply drops its own copy.
std::atomic<PyObject *> internal_error_type{nullptr};

PyObject *internal_error() {
    PyObject *existing = internal_error_type.load();
    if (existing != nullptr) {
        return existing;
    }
    PyObject *created = PyErr_NewExceptionWithDoc(
        "annotrove.InternalError",
        "A broken invariant inside annotrove; please report it with the input that caused it.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) {
        return nullptr;
    }
    PyObject *expected = nullptr;
    if (!internal_error_type.compare_exchange_strong(expected, created)) {
        Py_DECREF(created);
        return expected;
    }
    return created; // kept for the life of the process
}

} // namespace

void raise_core_error(const CoreError &error) {
    raise_with_text(PyExc_RuntimeError, error.message());
}

void raise_value_error(std::string_view message) {
    raise_with_text(PyExc_ValueError, message);
}

void raise_type_error(std::string_view message) {
    raise_with_text(PyExc_TypeError, message);
}

void raise_missing_key(std::string_view key) {
    std::string message = "missing '";
    message += key;
    message += "'";
    raise_with_text(PyExc_KeyError, message);
}

void add_processing_note(const char *parameter) {
    PyObject *raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return;
    }
    PyRef exception(raised);
    PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note) {
        PyRef result(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
        if (!result) {
            // Keep the original failure: a failing add_note must not replace it.
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception.release());
}

void raise_internal_error(std::string_view message) {
    PyObject *type = internal_error();
    if (type == nullptr) {
        return; // the failure to create the type is already set
    }
    raise_with_text(type, message);
}

std::string type_name(PyObject *object) {
    return Py_TYPE(object)->tp_name;
}

} // namespace annotrove::module
