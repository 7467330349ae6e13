// lumo._testrt: hooks into the native runtime for lumo's own tests, in the
// manner of CPython's _testcapi. Nothing here is for programs that use lumo.
#include "pyrt/pyrt.hpp"

namespace testrt {
namespace {

using pyrt::Ref;

// Exercises every kind of parameter the binder knows.
Ref f_probe(pyrt::Func&, PyObject* const* a) {
  return Ref::steal(PyTuple_Pack(7, a[0], a[1], a[2], a[3], a[4], a[5], a[6]));
}
const pyrt::Param p_probe[] = {
    {"self"},
    {"a", "int", pyrt::Check::Int},
    {"t", "tuple", pyrt::Check::Tuple},
    {"b", "str", pyrt::Check::Str, pyrt::dstr("x")},
    {"c", "float", pyrt::Check::Float, pyrt::dfloat(1.0)},
    {"args", nullptr, pyrt::Check::None, {}, pyrt::Kind::VarArgs},
    {"kwds", nullptr, pyrt::Check::None, {}, pyrt::Kind::VarKw},
};
const pyrt::FuncDef d_probe{"_probe", "_probe", p_probe, f_probe, "Returns its bound arguments (for tests).", "tuple"};

int exec_testrt(PyObject* module) {
  if (pyrt::init_runtime() < 0) return -1;
  return pyrt::add_function(module, d_probe);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testrt)},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "lumo._testrt",
    "Test hooks into lumo's native runtime, for lumo's own test suite only: no part of lumo's interface, "
    "and free to change in any release.",
    0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace testrt

PyMODINIT_FUNC PyInit__testrt() { return PyModuleDef_Init(&testrt::def); }
