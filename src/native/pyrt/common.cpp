// The steps that lumo.server and lumo.client share.
#include "pyrt/common.hpp"
#include "pyrt/names.hpp"

namespace pyrt {

PyObject* keywords(std::initializer_list<PyObject*> names) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* name : names) PyTuple_SET_ITEM(t, i++, new_ref(name));
  return t;
}

inline namespace common {
namespace {

#define PYRT_COMMON_TEXTS(X)  \
  X(dunder_name, "__name__")  \
  X(Skrivo, "Skrivo")         \
  X(get_port, "get_port")     \
  X(exclude, "exclude")       \
  X(t_lumo, "lumo")           \
  X(t_velkor, "velkor")       \
  X(t_druset, "druset")
#define PYRT_COMMON_INTS(X)
#define PYRT_COMMON_KEYWORDS(X) X(kw_exclude, exclude)

struct Names {
  PYRT_NAMES(PYRT_COMMON_TEXTS, PYRT_COMMON_INTS, PYRT_COMMON_KEYWORDS)
};
Names names;

}  // namespace

int init_common() { return names.make(); }

int unpack_other(PyObject* value, Py_ssize_t n, Ref* out) {
  if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    if (size == n) {
      PyObject** items = PySequence_Fast_ITEMS(value);
      for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
      return 0;
    }
    if (size < n)
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, size);
    else
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return -1;
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

Ref type_name(PyObject* v) { return getattr(reinterpret_cast<PyObject*>(Py_TYPE(v)), names.dunder_name); }

Ref make_logger(Func& f, PyObject* name) {
  Ref skrivo = global(f, names.Skrivo);
  if (!skrivo) return skrivo;
  Ref exclude = Ref::steal(PyList_New(3));
  if (!exclude) return exclude;
  PyObject* const packages[] = {names.t_lumo, names.t_velkor, names.t_druset};
  for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(exclude.get(), i, new_ref(packages[i]));
  PyObject* argv[] = {nullptr, name, exclude.get()};
  return Ref::steal(PyObject_Vectorcall(skrivo.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_exclude));
}

Ref resolve_port(Func& f, PyObject* port, PyObject* name) {
  const int given = truth(port);
  if (given < 0) return Ref();
  if (given) return Ref::borrow(port);
  Ref get_port = global(f, names.get_port);
  if (!get_port) return get_port;
  Ref resolved = call(get_port.get(), name);
  if (!resolved) return resolved;
  if (!PyLong_CheckExact(resolved.get()) && resolved.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(resolved.get())->tp_name);
    return Ref();
  }
  return resolved;
}

}  // namespace common
}  // namespace pyrt
