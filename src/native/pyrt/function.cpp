// The function type of the lumo modules: one type for every Python-visible
// function and method. It is called through vectorcall, binds as a method like
// a Python function, and carries the attributes that inspect and help() read.
#include "pyrt/pyrt.hpp"

#include <structmember.h>

#include <cstddef>

namespace pyrt {
namespace {

constexpr int kMaxParams = 16;

// Per-function facts derived once from the declaration.
struct Shape {
  int n_normal = 0;  // positional-or-keyword parameters (they come first)
  int i_varargs = -1;
  int i_varkw = -1;
  bool plain = false;  // no star parameters and no conversions: a full positional call binds as it is
};

Shape shape_of(const FuncDef& def) {
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

Ref default_object(const Default& d) {
  switch (d.t) {
    case Default::T::Absent: return Ref();
    case Default::T::None: return none();
    case Default::T::False: return boolean(false);
    case Default::T::True: return boolean(true);
    case Default::T::Int: return Ref::steal(PyLong_FromLongLong(d.i));
    case Default::T::Float: return Ref::steal(PyFloat_FromDouble(d.d));
    case Default::T::Str: return Ref::steal(PyUnicode_FromString(d.s));
  }
  return Ref();
}

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

struct FuncObject : Func {
  PyObject* varnames;  // interned names of the positional-or-keyword parameters
  Shape shape;
};

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

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return new_ref(self);
  return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
  auto& f = *reinterpret_cast<FuncObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f.qualname, self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
  auto& f = *reinterpret_cast<FuncObject*>(self);
  Py_VISIT(f.name);
  Py_VISIT(f.qualname);
  Py_VISIT(f.module);
  Py_VISIT(f.doc);
  Py_VISIT(f.defaults);
  Py_VISIT(f.kwdefaults);
  Py_VISIT(f.annotations);
  Py_VISIT(f.dict);
  Py_VISIT(f.globals);
  Py_VISIT(f.closure);
  Py_VISIT(f.cls);
  Py_VISIT(f.signature);
  Py_VISIT(f.varnames);
  return 0;
}

// __name__ and __qualname__ are texts, which hold nothing: they stay, so that
// a function cleared by the collector still shows its name, as the
// interpreter's own functions do.
int func_clear(PyObject* self) {
  auto& f = *reinterpret_cast<FuncObject*>(self);
  Py_CLEAR(f.module);
  Py_CLEAR(f.doc);
  Py_CLEAR(f.defaults);
  Py_CLEAR(f.kwdefaults);
  Py_CLEAR(f.annotations);
  Py_CLEAR(f.dict);
  Py_CLEAR(f.globals);
  Py_CLEAR(f.closure);
  Py_CLEAR(f.cls);
  Py_CLEAR(f.signature);
  Py_CLEAR(f.varnames);
  return 0;
}

void func_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (reinterpret_cast<FuncObject*>(self)->weakreflist) PyObject_ClearWeakRefs(self);
  func_clear(self);
  auto& f = *reinterpret_cast<FuncObject*>(self);
  Py_CLEAR(f.name);
  Py_CLEAR(f.qualname);
  PyObject_GC_Del(self);
}

// Attribute setters that keep the types the interpreter's functions keep.
int set_text(PyObject** slot, PyObject* v, const char* what) {
  if (!v || !PyUnicode_Check(v)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_SETREF(*slot, new_ref(v));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return new_ref(reinterpret_cast<Func*>(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text(&reinterpret_cast<Func*>(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return new_ref(reinterpret_cast<Func*>(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_text(&reinterpret_cast<Func*>(self)->qualname, v, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) { return new_ref(reinterpret_cast<Func*>(self)->defaults); }
int set_defaults(PyObject* self, PyObject* v, void*) {
  if (v == nullptr) v = Py_None;
  if (v != Py_None && !PyTuple_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_SETREF(reinterpret_cast<Func*>(self)->defaults, new_ref(v));
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return new_ref(reinterpret_cast<Func*>(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
  if (v == nullptr) v = Py_None;
  if (v != Py_None && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_SETREF(reinterpret_cast<Func*>(self)->kwdefaults, new_ref(v));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  return new_ref(reinterpret_cast<Func*>(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
  if (v == nullptr) v = Py_None;
  if (v != Py_None && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_SETREF(reinterpret_cast<Func*>(self)->annotations, new_ref(v));
  return 0;
}

// __signature__: an inspect.Signature built from the declaration and the
// current __defaults__ and __annotations__.
PyObject* get_signature(PyObject* self, void*) {
  auto& f = *reinterpret_cast<FuncObject*>(self);
  if (f.signature) return new_ref(f.signature);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = getattr(inspect.get(), intern("Parameter"));
  if (!parameter) return nullptr;
  Ref empty = getattr(parameter.get(), intern("empty"));
  if (!empty) return nullptr;
  // Held for the whole build: the inspect calls below run Python code.
  const Ref defaults = Ref::borrow(f.defaults);
  const Ref annotations = Ref::borrow(f.annotations);
  const Py_ssize_t nd = PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
  const Py_ssize_t first_default = f.shape.n_normal - nd;
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (int j = 0; j < static_cast<int>(f.def->params.size()); ++j) {
    const Param& p = f.def->params[j];
    const char* kind = p.kind == Kind::Normal ? "POSITIONAL_OR_KEYWORD" : p.kind == Kind::VarArgs ? "VAR_POSITIONAL" : "VAR_KEYWORD";
    Ref kind_value = getattr(parameter.get(), intern(kind));
    if (!kind_value) return nullptr;
    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return nullptr;
    if (p.kind == Kind::Normal && j >= first_default &&
        PyDict_SetItem(kw.get(), intern("default"), PyTuple_GET_ITEM(defaults.get(), j - first_default)) < 0)
      return nullptr;
    if (PyDict_Check(annotations.get())) {
      PyObject* ann = PyDict_GetItemWithError(annotations.get(), intern(p.name));
      if (!ann && PyErr_Occurred()) return nullptr;
      if (ann && PyDict_SetItem(kw.get(), intern("annotation"), ann) < 0) return nullptr;
    }
    Ref args = Ref::steal(Py_BuildValue("(sO)", p.name, kind_value.get()));
    if (!args) return nullptr;
    Ref param = Ref::steal(PyObject_Call(parameter.get(), args.get(), kw.get()));
    if (!param || PyList_Append(list.get(), param.get()) < 0) return nullptr;
  }
  Ref signature_cls = getattr(inspect.get(), intern("Signature"));
  if (!signature_cls) return nullptr;
  Ref kw = Ref::steal(PyDict_New());
  if (!kw) return nullptr;
  if (PyDict_Check(annotations.get())) {
    PyObject* ret = PyDict_GetItemWithError(annotations.get(), intern("return"));
    if (!ret && PyErr_Occurred()) return nullptr;
    if (ret && PyDict_SetItem(kw.get(), intern("return_annotation"), ret) < 0) return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(1, list.get()));
  if (!args) return nullptr;
  return PyObject_Call(signature_cls.get(), args.get(), kw.get());
}
int set_signature(PyObject* self, PyObject* v, void*) {
  Py_XSETREF(reinterpret_cast<Func*>(self)->signature, new_ref(v));
  return 0;
}

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(Func, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Func, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Func, globals), READONLY, nullptr},
    {"__closure_values__", T_OBJECT, offsetof(Func, closure), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FuncType = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  t.tp_name = "lumo.ring.function";
  t.tp_basicsize = sizeof(FuncObject);
  t.tp_dealloc = func_dealloc;
  t.tp_vectorcall_offset = offsetof(Func, vectorcall);
  t.tp_repr = func_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_doc = "A function of a lumo extension module.";
  t.tp_traverse = func_traverse;
  t.tp_clear = func_clear;
  t.tp_weaklistoffset = offsetof(Func, weakreflist);
  t.tp_members = func_members;
  t.tp_getset = func_getset;
  t.tp_descr_get = func_descr_get;
  t.tp_dictoffset = offsetof(Func, dict);
  return t;
}();

// The function type of the process: lumo.ring's, which every lumo module
// shares, so that a function of one module is an instance of the same type as
// a function of another.
PyTypeObject* func_type = nullptr;

// What lumo.ring hands the other modules: its function type, and the size of
// the objects its code lays out (a module built from other sources is refused).
struct RuntimeApi {
  PyTypeObject* function_type;
  Py_ssize_t function_size;
};
constexpr char kRuntimeCapsule[] = "lumo.ring._runtime";
RuntimeApi runtime_api;

}  // namespace

bool is_function(PyObject* o) { return Py_IS_TYPE(o, func_type); }

int export_runtime(PyObject* module) {
  if (!func_type) {
    if (PyType_Ready(&FuncType) < 0) return -1;
    func_type = &FuncType;
    runtime_api = {func_type, static_cast<Py_ssize_t>(sizeof(FuncObject))};
  }
  Ref capsule = Ref::steal(PyCapsule_New(&runtime_api, kRuntimeCapsule, nullptr));
  return capsule ? PyModule_AddObjectRef(module, "_runtime", capsule.get()) : -1;
}

int import_runtime() {
  if (func_type) return 0;
  // The module is imported first: the capsule's own import only reads
  // attributes after the package.
  Ref ring = Ref::steal(PyImport_ImportModule("lumo.ring"));
  if (!ring) return -1;
  const auto* api = static_cast<const RuntimeApi*>(PyCapsule_Import(kRuntimeCapsule, 0));
  if (!api) return -1;
  if (api->function_size != static_cast<Py_ssize_t>(sizeof(FuncObject))) {
    PyErr_SetString(PyExc_ImportError, "lumo's extension modules come from different builds: reinstall lumo");
    return -1;
  }
  func_type = api->function_type;
  return 0;
}

namespace {


// Makes a function of `def` with the given __module__ and globals.
Ref build_function(const FuncDef& def, Ref module_name, PyObject* globals, PyObject* closure) {
  if (def.params.size() > static_cast<size_t>(kMaxParams)) {
    PyErr_SetString(PyExc_SystemError, "lumo: too many parameters declared");
    return Ref();
  }
  Shape shape = shape_of(def);
  Ref name = Ref::borrow(intern(def.name));
  Ref qualname = Ref::borrow(intern(def.qualname));
  Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : none();
  Ref varnames = Ref::steal(PyTuple_New(shape.n_normal));
  Ref annotations = Ref::steal(PyDict_New());
  Ref defaults_list = Ref::steal(PyList_New(0));
  if (!doc || !varnames || !annotations || !defaults_list) return Ref();
  for (int j = 0; j < static_cast<int>(def.params.size()); ++j) {
    const Param& p = def.params[j];
    if (p.kind == Kind::Normal) PyTuple_SET_ITEM(varnames.get(), j, new_ref(intern(p.name)));
    if (p.annotation) {
      Ref a = Ref::steal(PyUnicode_FromString(p.annotation));
      if (!a || PyDict_SetItem(annotations.get(), intern(p.name), a.get()) < 0) return Ref();
    }
    if (p.kind == Kind::Normal && p.dflt.t != Default::T::Absent) {
      Ref d = default_object(p.dflt);
      if (!d || PyList_Append(defaults_list.get(), d.get()) < 0) return Ref();
    }
  }
  if (def.return_annotation) {
    Ref a = Ref::steal(PyUnicode_FromString(def.return_annotation));
    if (!a || PyDict_SetItem(annotations.get(), intern("return"), a.get()) < 0) return Ref();
  }
  Ref defaults = PyList_GET_SIZE(defaults_list.get()) ? Ref::steal(PyList_AsTuple(defaults_list.get())) : none();
  if (!defaults) return Ref();

  FuncObject* f = PyObject_GC_New(FuncObject, func_type);
  if (!f) return Ref();
  f->vectorcall = shape.plain ? vectorcall_positional : vectorcall_general;
  f->def = &def;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = module_name.release();
  f->doc = doc.release();
  f->defaults = defaults.release();
  f->kwdefaults = none().release();
  f->annotations = annotations.release();
  f->dict = nullptr;
  f->globals = new_ref(globals);
  f->closure = new_ref(closure);
  f->cls = nullptr;
  f->signature = nullptr;
  f->weakreflist = nullptr;
  f->varnames = varnames.release();
  f->shape = shape;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

Ref make_function(const FuncDef& def, PyObject* module, PyObject* closure) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Ref();
  return build_function(def, std::move(module_name), PyModule_GetDict(module), closure);
}

Ref make_function_in(const FuncDef& def, const Func& outer, PyObject* closure) {
  // As for a nested def: __module__ is the __name__ of the globals.
  PyObject* name = PyDict_GetItemWithError(outer.globals, intern("__name__"));
  if (!name && PyErr_Occurred()) return Ref();
  return build_function(def, Ref::borrow(name ? name : Py_None), outer.globals, closure);
}

void set_owner_class(PyObject* func, PyObject* cls) {
  Py_XSETREF(reinterpret_cast<Func*>(func)->cls, new_ref(cls));
}

}  // namespace pyrt
