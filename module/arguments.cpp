#include "arguments.hpp"

#include <algorithm>
#include <string>

#include "py_ref.hpp"

#include "exceptions.hpp"
#include "table/threaded_reader.hpp"

namespace annotrove::module {

namespace {

std::string quoted_list(std::span<const char *const> names) {
    // The host's own style: 'a', 'a' and 'b', 'a', 'b' and 'c'.
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

std::string positional_count_message(const Signature &signature, Py_ssize_t given) {
    std::string message = std::string(signature.function) + "() takes ";
    const std::size_t most = signature.positional();
    if (signature.required == most) {
        message += std::to_string(most);
    } else {
        message += "from " + std::to_string(signature.required) + " to " + std::to_string(most);
    }
    message += most == 1 ? " positional argument but " : " positional arguments but ";
    message += std::to_string(given) + (given == 1 ? " was given" : " were given");
    return message;
}

} // namespace

std::optional<MatchedArguments> match_arguments(const Signature &signature, PyObject *const *args,
                                                Py_ssize_t nargs, PyObject *kwnames) {
    MatchedArguments matched{};
    const std::size_t count = signature.parameters.size();
    if (nargs < 0 || static_cast<std::size_t>(nargs) > signature.positional()) {
        raise_type_error(positional_count_message(signature, nargs));
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        matched[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = count;
        for (std::size_t p = 0; p < count; ++p) {
            if (PyUnicode_Check(keyword) &&
                PyUnicode_CompareWithASCIIString(keyword, signature.parameters[p]) == 0) {
                index = p;
                break;
            }
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         signature.function, keyword);
            return std::nullopt;
        }
        if (matched[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.function, signature.parameters[index]);
            return std::nullopt;
        }
        matched[index] = args[nargs + k];
    }
    std::array<const char *, MAX_PARAMETERS> missing{};
    std::size_t missing_count = 0;
    for (std::size_t p = 0; p < signature.required; ++p) {
        if (matched[p] == nullptr) {
            missing[missing_count++] = signature.parameters[p];
        }
    }
    if (missing_count > 0) {
        std::string message = std::string(signature.function) + "() missing " +
                              std::to_string(missing_count) + " required argument" +
                              (missing_count == 1 ? ": " : "s: ") +
                              quoted_list({missing.data(), missing_count});
        raise_type_error(message);
        return std::nullopt;
    }
    return matched;
}

std::optional<std::string_view> utf8_of(PyObject *text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<double> to_double(PyObject *value) {
    if (PyFloat_CheckExact(value)) {
        return PyFloat_AS_DOUBLE(value);
    }
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) {
        return std::nullopt;
    }
    return converted;
}

std::optional<std::string_view> convert_text(const char *function, const char *parameter,
                                             PyObject *value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %s", function, parameter,
                     Py_TYPE(value)->tp_name);
        add_processing_note(parameter);
        return std::nullopt;
    }
    std::optional<std::string_view> text = utf8_of(value);
    if (!text) {
        add_processing_note(parameter);
    }
    return text;
}

std::optional<double> convert_number(const char *parameter, PyObject *value) {
    std::optional<double> number = to_double(value);
    if (!number) {
        add_processing_note(parameter);
    }
    return number;
}

namespace {

// The integer value of an int-like argument (bool refused: True is no count), or null with the
// TypeError and the processing note set.
PyRef integer_of(const char *function, const char *parameter, PyObject *value) {
    if (PyBool_Check(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %s", function, parameter,
                     Py_TYPE(value)->tp_name);
        add_processing_note(parameter);
        return PyRef();
    }
    PyRef integer(PyNumber_Index(value));
    if (!integer) {
        add_processing_note(parameter);
    }
    return integer;
}

} // namespace

std::optional<std::uint64_t> convert_count(const char *function, const char *parameter,
                                           PyObject *value) {
    PyRef integer = integer_of(function, parameter, value);
    if (!integer) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) {
        add_processing_note(parameter);
        return std::nullopt;
    }
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must not be negative, got %S", function,
                     parameter, integer.get());
        add_processing_note(parameter);
        return std::nullopt;
    }
    if (overflow == 0) {
        return static_cast<std::uint64_t>(small);
    }
    const unsigned long long large = PyLong_AsUnsignedLongLong(integer.get());
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(parameter);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(large);
}

std::optional<std::size_t> convert_threads(const char *function, const char *parameter,
                                           PyObject *value) {
    const std::size_t cores = table::available_cores();
    if (value == nullptr || value == Py_None) {
        return cores;
    }
    if (PyBool_Check(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int or None, not %s", function,
                     parameter, Py_TYPE(value)->tp_name);
        add_processing_note(parameter);
        return std::nullopt;
    }
    PyRef integer = integer_of(function, parameter, value);
    if (!integer) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (count == -1 && PyErr_Occurred()) {
        add_processing_note(parameter);
        return std::nullopt;
    }
    if (overflow < 0 || (overflow == 0 && count < 1)) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be a positive int or None, got %S",
                     function, parameter, integer.get());
        add_processing_note(parameter);
        return std::nullopt;
    }
    if (overflow > 0) {
        return cores;
    }
    return std::min(static_cast<std::size_t>(count), cores);
}

std::optional<std::uint64_t> convert_seed(const char *function, const char *parameter,
                                          PyObject *value) {
    PyRef integer = integer_of(function, parameter, value);
    if (!integer) {
        return std::nullopt;
    }
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(integer.get());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(parameter);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(bits);
}

std::optional<bool> convert_flag(const char *function, const char *parameter, PyObject *value) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %s", function, parameter,
                     Py_TYPE(value)->tp_name);
        add_processing_note(parameter);
        return std::nullopt;
    }
    return value == Py_True;
}

bool check_dict(const char *function, const char *parameter, PyObject *value) {
    if (PyDict_Check(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be dict, not %s", function, parameter,
                 Py_TYPE(value)->tp_name);
    add_processing_note(parameter);
    return false;
}

bool check_list(const char *function, const char *parameter, PyObject *value) {
    if (PyList_Check(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be list, not %s", function, parameter,
                 Py_TYPE(value)->tp_name);
    add_processing_note(parameter);
    return false;
}

} // namespace annotrove::module
