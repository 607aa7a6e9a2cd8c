// The clause every `catch (...)` needs, in the core as in the module.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// The one rule for every `catch (...)`: put this clause right before it. Thread cancellation and
// the host ending a daemon thread at exit unwind the stack with a forced unwind, which a handler
// must let through (swallowing it aborts the process). Only the GNU runtime gives it a type;
// elsewhere the clause is empty.
//
// A function holding the clause is marked ANNOTROVE_PASSES_FORCED_UNWIND: a forced unwind carries
// no C++ object, so the handler's reference is bound to null by design, which the
// undefined-behaviour sanitizer would otherwise report (GCC honours only the whole group here).
// The work such a function runs is a function of its own and stays checked.
#if defined(__GLIBCXX__)
#define ANNOTROVE_PASS_FORCED_UNWIND                                                               \
    catch (abi::__forced_unwind &) {                                                               \
        throw;                                                                                     \
    }
#define ANNOTROVE_PASSES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define ANNOTROVE_PASS_FORCED_UNWIND
#define ANNOTROVE_PASSES_FORCED_UNWIND
#endif
