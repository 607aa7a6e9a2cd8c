// Running core work with the interpreter lock released, so other Python threads run meanwhile.
#pragma once

#include <Python.h>

#include <utility>

namespace annotrove::module {

// Releases the lock for its lifetime. The destructor takes it back on every way out, a C++
// exception (std::bad_alloc from a large table) included, before any Python object is touched.
class ReleasedLock {
  public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock &) = delete;
    ReleasedLock &operator=(const ReleasedLock &) = delete;

  private:
    PyThreadState *state_;
};

// The result of `work`, run without the lock. `work` must not touch any Python object: its
// arguments are converted before and its result turned into objects after.
template <typename Work> auto without_lock(Work &&work) {
    const ReleasedLock released;
    return std::forward<Work>(work)();
}

} // namespace annotrove::module
