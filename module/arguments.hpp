// Matching a fast call's arguments to parameters, and one converter per kind of argument.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>

namespace annotrove::module {

inline constexpr std::size_t MAX_PARAMETERS = 6;

struct Signature {
    const char *function;
    std::span<const char *const> parameters;
    std::size_t required;
    // Optional parameters that only a keyword can give, after the others.
    std::span<const char *const> keyword_only = {};
};

// Borrowed references in parameter order, keyword-only parameters last; null for a parameter
// that was not given.
using MatchedArguments = std::array<PyObject *, MAX_PARAMETERS>;

// Positional and keyword arguments to parameters. Raises TypeError in the host's wording on a
// count, keyword or duplicate problem, before any argument is converted.
std::optional<MatchedArguments> match_arguments(const Signature &signature, PyObject *const *args,
                                                Py_ssize_t nargs, PyObject *kwnames);

// Each converter raises the exception with the processing note for `parameter` on failure.
// Text views point into the str object, which the caller's arguments keep alive.
std::optional<std::string_view> convert_text(const char *function, const char *parameter,
                                             PyObject *value);
std::optional<double> convert_number(const char *parameter, PyObject *value);
bool check_dict(const char *function, const char *parameter, PyObject *value);
bool check_list(const char *function, const char *parameter, PyObject *value);

// The threads a table may be read on: None means every core the process may run on, a positive
// int at most that many (and never more than those cores). Raises TypeError or ValueError with
// the processing note for 'threads' otherwise.
std::optional<std::size_t> convert_threads(const char *function, PyObject *value);

// An exact float is read directly, anything else through the host's float conversion.
// Raises the host's exception (no note) on failure.
std::optional<double> to_double(PyObject *value);

// UTF-8 text of a str (or subclass); raises the host's encoding error on failure.
std::optional<std::string_view> utf8_of(PyObject *text);

} // namespace annotrove::module
