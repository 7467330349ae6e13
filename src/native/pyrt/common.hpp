// pyrt/common.hpp: the steps that lumo.server and lumo.client both take, each
// written once: truth tests, comparisons, unpacking, raising, importing, and
// the logger and port that serve() and connect() make.
#pragma once

#include "pyrt/pyrt.hpp"
#include "pyrt/interp.hpp"

namespace pyrt {
// A module takes them all with `using namespace pyrt::common;`.
inline namespace common {

// Makes the names these helpers read (idempotent); called at module exec.
int init_common();

// The truth value of `v`, as PyObject_IsTrue: 1, 0, or -1 with an error set.
// The three constants are read here without the call.
inline int truth(PyObject* v) {
  if (v == Py_True) return 1;
  if (v == Py_False || v == Py_None) return 0;
  return PyObject_IsTrue(v);
}

// `a != b` in a truth test, as the interpreter evaluates it (no identity
// shortcut): 1, 0, or -1 with an error set. Two exact ints, which no code can
// make compare otherwise, are compared by value in place when they are small.
inline int not_equal(PyObject* a, PyObject* b) {
  long long x, y;
  if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && interp::small_int(a, &x) && interp::small_int(b, &y))
    return x != y;
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
  if (!r) return -1;
  if (r.get() == Py_False) return 0;  // what a comparison mostly gives
  if (r.get() == Py_True) return 1;
  return PyObject_IsTrue(r.get());
}

// `a, b, ... = value` with n targets: fills out[0..n) or raises as the
// interpreter does (ValueError for a wrong count). An exact tuple of n items
// is read in place here; anything else (an exact list in place too) in
// unpack_other.
int unpack_other(PyObject* value, Py_ssize_t n, Ref* out);
inline int unpack(PyObject* value, Py_ssize_t n, Ref* out) {
  if (!PyTuple_CheckExact(value) || PyTuple_GET_SIZE(value) != n) return unpack_other(value, n, out);
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(value, i));
  return 0;
}

// type(v).__name__
Ref type_name(PyObject* v);

// Raises cls(text) and returns an empty Ref, for `return raise_error(...)`.
inline Ref raise_error(PyObject* cls, const char* text) {
  PyErr_SetString(cls, text);
  return Ref();
}
inline Ref raise_error(PyObject* cls, PyObject* text) {
  PyErr_SetObject(cls, text);
  return Ref();
}
// The same for a text still to be made: an empty `text` leaves the error of making it.
inline Ref raise_error(PyObject* cls, const Ref& text) {
  return text ? raise_error(cls, text.get()) : Ref();
}

// Binds `value` in the module under `name`; an empty `value` (its error set) fails.
inline int add_object(PyObject* module, const char* name, const Ref& value) {
  return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

// `import name`: the module, through __import__ as the statement does.
inline Ref import(PyObject* name) { return Ref::steal(PyImport_Import(name)); }

// Skrivo(name, exclude=["lumo", "velkor", "druset"]), Skrivo read from f's globals.
Ref make_logger(Func& f, PyObject* name);

// The port to use: `port` when it is true, else get_port(name) (read from f's
// globals), which must give an int or None.
Ref resolve_port(Func& f, PyObject* port, PyObject* name);

}  // namespace common
}  // namespace pyrt
