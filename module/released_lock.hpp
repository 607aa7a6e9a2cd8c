// Running core work with the interpreter lock released, so other Python threads run meanwhile.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "exceptions.hpp"

namespace annotrove::module {

// The result of `work`, run without the lock. `work` must not touch any Python object: its
// arguments are converted before and its result turned into objects after.
//
// The lock is taken back by a plain call, never from a destructor or an exception handler: once
// the interpreter is finalizing, taking it back ends a daemon thread with a forced unwind, the
// same way it ends the host's own blocking calls, and that unwind must be free to leave through
// the caller's frames (which therefore hold no owned Python object across this call). An
// exception from `work` (std::bad_alloc from a large table) is carried past the call and thrown
// again once the lock is held.
template <typename Work> ANNOTROVE_PASSES_FORCED_UNWIND auto without_lock(Work &&work) {
    using Value = std::invoke_result_t<Work>;
    std::optional<Value> value;
    std::exception_ptr failure;
    PyThreadState *const state = PyEval_SaveThread();
    try {
        value.emplace(std::forward<Work>(work)());
    }
    ANNOTROVE_PASS_FORCED_UNWIND
    catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*value);
}

} // namespace annotrove::module
