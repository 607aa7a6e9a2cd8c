// Policies as plain Python dicts, in both directions.
#pragma once

#include <Python.h>

#include <optional>

#include "policy.hpp"
#include "py_ref.hpp"

namespace annotrove::module {

// A new dict with the seven keys in their fixed order; the group fields never appear.
PyRef policy_to_dict(const PolicyFile &policy);

// Reads the six keys in a fixed order and stops at the first failure (KeyError, TypeError or
// RuntimeError). created_by is always "annotrove"; the group fields are always absent.
std::optional<PolicyFile> policy_from_dict(PyObject *dict);

} // namespace annotrove::module
