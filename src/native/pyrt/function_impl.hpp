// pyrt/function_impl.hpp: the layout of lumo's function objects and their
// binders, shared by the files of the function type (function.cpp makes and
// manages the objects, binder.cpp binds a call's arguments to the slots).
#pragma once

#include "pyrt/pyrt.hpp"

namespace pyrt::detail {

constexpr int kMaxParams = 16;

// Per-function facts derived once from the declaration.
struct Shape {
  int n_normal = 0;  // positional-or-keyword parameters (they come first)
  int i_varargs = -1;
  int i_varkw = -1;
  bool plain = false;  // no star parameters and no conversions: a full positional call binds as it is
};

inline Shape shape_of(const FuncDef& def) {
  Shape s;
  for (int i = 0; i < static_cast<int>(def.params.size()); ++i) {
    switch (def.params[i].kind) {
      case Kind::Normal: s.n_normal = i + 1; break;
      case Kind::VarArgs: s.i_varargs = i; break;
      case Kind::VarKw: s.i_varkw = i; break;
    }
  }
  s.plain = s.i_varargs < 0 && s.i_varkw < 0;
  for (const Param& p : def.params) s.plain = s.plain && p.check != Check::Float;
  return s;
}

struct FuncObject : Func {
  PyObject* varnames;  // interned names of the positional-or-keyword parameters
  Shape shape;
};

// The binders a function is made with: the positional fast path for a
// function without star parameters or conversions, the general one for the rest.
PyObject* vectorcall_positional(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* vectorcall_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace pyrt::detail
