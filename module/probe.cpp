#include <Python.h>
static PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "_annotrove_probe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__annotrove_probe() { return PyModuleDef_Init(&probe_module); }
