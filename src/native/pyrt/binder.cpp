// Binding a call's arguments to a lumo function's parameters, as the
// interpreter binds a Python function's: the positional fast path and the
// general binder.
#include "pyrt/function_impl.hpp"

namespace pyrt::detail {
namespace {

void raise_count(const Func& f, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t found) {
  Py_ssize_t expected;
  const char* more_or_less;
  if (found < min) {
    expected = min;
    more_or_less = "at least";
  } else {
    expected = max;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  const Utf8 name(f.name);  // a __name__ set to a text with a lone surrogate shows escaped
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name.c_str(),
               more_or_less, expected, expected == 1 ? "" : "s", found);
}

const char* check_name(Check c) {
  switch (c) {
    case Check::Str: return "str";
    case Check::Int: return "int";
    case Check::Tuple: return "tuple";
    case Check::Float: return "float";
    case Check::None: break;
  }
  return "object";
}

bool passes(Check c, PyObject* v) {
  switch (c) {
    case Check::Str: return PyUnicode_CheckExact(v);
    case Check::Int: return PyLong_CheckExact(v);
    case Check::Tuple: return PyTuple_CheckExact(v);
    case Check::Float:
    case Check::None: return true;
  }
  return true;
}

Py_ssize_t keyword_index(PyObject* varnames, int n, PyObject* key) {
  for (int j = 0; j < n; ++j)
    if (PyTuple_GET_ITEM(varnames, j) == key) return j;
  for (int j = 0; j < n; ++j) {
    int eq = PyUnicode_Compare(PyTuple_GET_ITEM(varnames, j), key);
    if (eq == 0) return j;
    if (eq == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}


// What the general binder fills: one borrowed value per parameter, and the
// objects it made for them (the star parameters, converted floats).
struct Binding {
  PyObject* slots[kMaxParams] = {};
  Ref owned[kMaxParams];
};

// The parameter counts a call is checked against, with the defaults of this call.
struct Arity {
  Py_ssize_t min, max, nd;
  bool exact;
};

// Positional arguments: the leading parameters, then *args (or a count error).
bool bind_positional(const FuncObject& f, Binding& b, PyObject* const* args, Py_ssize_t nargs, const Arity& n) {
  const Shape& s = f.shape;
  const Py_ssize_t npos = nargs < s.n_normal ? nargs : s.n_normal;
  for (Py_ssize_t i = 0; i < npos; ++i) b.slots[i] = args[i];
  if (nargs > s.n_normal && s.i_varargs < 0) {
    raise_count(f, n.exact, n.min, n.max, nargs);
    return false;
  }
  if (s.i_varargs >= 0) {
    const Py_ssize_t extra = nargs > s.n_normal ? nargs - s.n_normal : 0;
    Ref t = Ref::steal(PyTuple_New(extra));
    if (!t) return false;
    for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(t.get(), i, new_ref(args[s.n_normal + i]));
    b.owned[s.i_varargs] = std::move(t);
  }
  if (s.i_varkw >= 0) {
    b.owned[s.i_varkw] = Ref::steal(PyDict_New());
    if (!b.owned[s.i_varkw]) return false;
  }
  return true;
}

// Keyword arguments: a named parameter, else **kwds, else an error.
bool bind_keywords(const FuncObject& f, Binding& b, PyObject* const* values, PyObject* kwnames) {
  const Shape& s = f.shape;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t j = keyword_index(f.varnames, s.n_normal, key);
    if (j == -2) return false;
    if (j >= 0) {
      if (b.slots[j]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f.qualname, key);
        return false;
      }
      b.slots[j] = values[k];
    } else if (s.i_varkw >= 0) {
      if (PyDict_SetItem(b.owned[s.i_varkw].get(), key, values[k]) < 0) return false;
    } else {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f.qualname, key);
      return false;
    }
  }
  return true;
}

// Parameters still without a value take their defaults (or raise the count error).
bool fill_defaults(const FuncObject& f, Binding& b, PyObject* defaults, Py_ssize_t nargs, const Arity& n) {
  for (Py_ssize_t j = nargs; j < f.shape.n_normal; ++j) {
    if (b.slots[j]) continue;
    if (j < n.min) {
      raise_count(f, n.exact, n.min, n.max, j);
      return false;
    }
    // Defaults line up with the last parameters, as for a Python function
    // (a __defaults__ longer than the parameter list leaves its head unused).
    b.slots[j] = PyTuple_GET_ITEM(defaults, j - (n.max - n.nd));
  }
  return true;
}

// Float parameters take what converts to a float; then every type is checked in order.
bool convert_and_check(const FuncObject& f, Binding& b) {
  const FuncDef& def = *f.def;
  for (int j = 0; j < f.shape.n_normal; ++j) {
    if (def.params[j].check != Check::Float || PyFloat_CheckExact(b.slots[j])) continue;
    const double d = PyFloat_AsDouble(b.slots[j]);
    if (d == -1.0 && PyErr_Occurred()) return false;
    b.owned[j] = Ref::steal(PyFloat_FromDouble(d));
    if (!b.owned[j]) return false;
    b.slots[j] = b.owned[j].get();
  }
  for (int j = 0; j < f.shape.n_normal; ++j) {
    const Check c = def.params[j].check;
    if (!passes(c, b.slots[j])) {
      raise_arg_type(def.params[j].name, check_name(c), b.slots[j]);
      return false;
    }
  }
  return true;
}

}  // namespace

// The binder for every call: positional and keyword arguments, defaults, star
// parameters and conversions, as the interpreter binds a Python function's.
PyObject* vectorcall_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FuncObject& f = *reinterpret_cast<FuncObject*>(self);
  const Shape& s = f.shape;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // Python code can run while the arguments are bound (a keyword's __hash__,
  // an argument's __float__) and may replace __defaults__: hold the tuple read
  // here until the call returns, as the slots borrow from it.
  const Ref defaults = Ref::borrow(f.defaults);
  Arity n;
  n.nd = PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
  n.max = s.n_normal;
  n.min = n.nd < n.max ? n.max - n.nd : 0;
  n.exact = n.min == n.max && s.i_varargs < 0;
  Binding b;
  if (!bind_positional(f, b, args, nargs, n)) return nullptr;
  if (kwnames && !bind_keywords(f, b, args + nargs, kwnames)) return nullptr;
  if (!fill_defaults(f, b, defaults.get(), nargs, n) || !convert_and_check(f, b)) return nullptr;
  if (s.i_varargs >= 0) b.slots[s.i_varargs] = b.owned[s.i_varargs].get();
  if (s.i_varkw >= 0) b.slots[s.i_varkw] = b.owned[s.i_varkw].get();
  return f.def->impl(f, b.slots).release();
}

// The binder of a function without star parameters or conversions, installed
// when it is made: a call that gives every parameter by position passes its
// arguments as the slots, with only their types checked; any other call is
// bound in full.
PyObject* vectorcall_positional(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FuncObject& f = *reinterpret_cast<FuncObject*>(self);
  const FuncDef& def = *f.def;
  if (kwnames || PyVectorcall_NARGS(nargsf) != f.shape.n_normal) return vectorcall_general(self, args, nargsf, kwnames);
  for (int j = 0; j < f.shape.n_normal; ++j) {
    const Check c = def.params[j].check;
    if (!passes(c, args[j])) {
      raise_arg_type(def.params[j].name, check_name(c), args[j]);
      return nullptr;
    }
  }
  return def.impl(f, args).release();
}

}  // namespace pyrt::detail
