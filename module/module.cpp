#include <Python.h>
static PyModuleDef annotrove_module = {PyModuleDef_HEAD_INIT, "annotrove", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_annotrove() { return PyModuleDef_Init(&annotrove_module); }
