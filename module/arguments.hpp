// Matching a fast call's arguments to parameters, and one converter per kind of argument.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace annotrove::module {

inline constexpr std::size_t MAX_PARAMETERS = 8;

// A function's parameters in order: the first `required` must be given, and the parameters from
// `keyword_only_from` on (none by default) can only be given by keyword, as after a bare `*` in a
// Python signature. Keyword-only parameters are optional.
struct Signature {
    const char *function;
    std::span<const char *const> parameters;
    std::size_t required;
    std::size_t keyword_only_from = MAX_PARAMETERS;

    // How many parameters a caller may fill by position.
    constexpr std::size_t positional() const {
        return keyword_only_from < parameters.size() ? keyword_only_from : parameters.size();
    }
};

// Borrowed references in parameter order; null for a parameter that was not given.
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
// An int (or an object with __index__, bool excepted) that is not negative and fits 64 bits.
std::optional<std::uint64_t> convert_count(const char *function, const char *parameter,
                                           PyObject *value);
// An int (or __index__ object, bool excepted) taken modulo 2^64, so negative seeds work too.
std::optional<std::uint64_t> convert_seed(const char *function, const char *parameter,
                                          PyObject *value);
// The threads a table may be read on: None means every core the process may run on, an int (or
// __index__ object, bool excepted) that is positive means at most that many, and never more than
// those cores. TypeError or ValueError with the processing note otherwise.
std::optional<std::size_t> convert_threads(const char *function, const char *parameter,
                                           PyObject *value);
// A bool, strictly: truthiness of other objects is not guessed at.
std::optional<bool> convert_flag(const char *function, const char *parameter, PyObject *value);
bool check_dict(const char *function, const char *parameter, PyObject *value);
bool check_list(const char *function, const char *parameter, PyObject *value);

// An exact float is read directly, anything else through the host's float conversion.
// Raises the host's exception (no note) on failure.
std::optional<double> to_double(PyObject *value);

// UTF-8 text of a str (or subclass); raises the host's encoding error on failure.
std::optional<std::string_view> utf8_of(PyObject *text);

} // namespace annotrove::module
