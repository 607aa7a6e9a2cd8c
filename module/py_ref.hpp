// An owning Python reference: every new reference the module creates lives in one of these, so
// every return path releases it. A bare PyObject* in this module is a borrowed reference.
#pragma once

#include <Python.h>

#include <utility>

namespace annotrove::module {

class PyRef {
  public:
    PyRef() = default;
    // Takes ownership of a new reference (which may be null after a failed call).
    explicit PyRef(PyObject *owned) : object_(owned) {}
    PyRef(PyRef &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef &operator=(PyRef &&other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef borrowed(PyObject *object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (for returning it to Python or a stealing API).
    PyObject *release() { return std::exchange(object_, nullptr); }

  private:
    PyObject *object_ = nullptr;
};

} // namespace annotrove::module
