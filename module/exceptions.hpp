// Raising Python exceptions for every kind of failure the module reports.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "error.hpp"
#include "forced_unwind.hpp"

namespace annotrove::module {

// RuntimeError carrying exactly the core error's message.
void raise_core_error(const CoreError &error);

// Exceptions whose only argument is the given text.
void raise_value_error(std::string_view message);
void raise_type_error(std::string_view message);
void raise_missing_key(std::string_view key); // KeyError "missing '<key>'"

// Adds "while processing '<parameter>'" to the exception currently set.
void add_processing_note(const char *parameter);

// An exception type derived directly from BaseException for broken invariants, so that an
// `except Exception` handler in user code does not swallow them. Created once, never an
// attribute of the module.
void raise_internal_error(std::string_view message);

// The name of an object's type for messages ("bytes", "PosixPath").
std::string type_name(PyObject *object);

// The one rule for every `catch (...)`: ANNOTROVE_PASS_FORCED_UNWIND right before it (forced_unwind.hpp).

// Runs the body of a Python entry point; a C++ exception that escapes it becomes MemoryError
// (allocation failure) or the internal-failure exception instead of crossing into the host. Not
// noexcept: a forced unwind must pass on into the host's frames, which it ends the thread through.
template <typename Body> ANNOTROVE_PASSES_FORCED_UNWIND PyObject *guarded(Body &&body) {
    try {
        return body();
    }
    ANNOTROVE_PASS_FORCED_UNWIND
    catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::exception &failure) {
        raise_internal_error(failure.what());
        return nullptr;
    } catch (...) {
        raise_internal_error("internal failure without a message");
        return nullptr;
    }
}

} // namespace annotrove::module
