// The function type of the lumo modules: one type for every Python-visible
// function and method. It is called through vectorcall, binds as a method like
// a Python function, and carries the attributes that inspect and help() read.
#include "pyrt/pyrt.hpp"
#include "pyrt/function_impl.hpp"

#include <structmember.h>

#include <cstddef>

namespace pyrt {
namespace {

using detail::FuncObject;
using detail::Shape;
using detail::kMaxParams;

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
  Py_VISIT(f.assigned_signature);
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
  Py_CLEAR(f.assigned_signature);
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
  if (f.assigned_signature) return new_ref(f.assigned_signature);
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
  Py_XSETREF(reinterpret_cast<Func*>(self)->assigned_signature, new_ref(v));
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

// What lumo.ring hands the other modules: its function type, and the size of
// the objects its code lays out (a module built from other sources is refused).
struct RuntimeApi {
  PyTypeObject* function_type;
  Py_ssize_t function_size;
};
constexpr char kRuntimeCapsule[] = "lumo.ring._runtime";
RuntimeApi runtime_api;

}  // namespace

// The function type of the process: lumo.ring's, which every lumo module
// shares, so that a function of one module is an instance of the same type as
// a function of another.
PyTypeObject* function_type = nullptr;

// lumo keeps process-wide state (its function type, interned names, call-site
// caches that compare objects of one interpreter): it refuses to be imported
// into a subinterpreter rather than mix two interpreters' objects.
static int main_interpreter_only() {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
  PyErr_SetString(PyExc_ImportError, "lumo runs in the main interpreter only: import it there, not in a subinterpreter");
  return -1;
}

int export_runtime(PyObject* module) {
  if (main_interpreter_only() < 0) return -1;
  if (!function_type) {
    if (PyType_Ready(&FuncType) < 0) return -1;
    function_type = &FuncType;
    runtime_api = {function_type, static_cast<Py_ssize_t>(sizeof(FuncObject))};
  }
  Ref capsule = Ref::steal(PyCapsule_New(&runtime_api, kRuntimeCapsule, nullptr));
  return capsule ? PyModule_AddObjectRef(module, "_runtime", capsule.get()) : -1;
}

int import_runtime() {
  if (main_interpreter_only() < 0) return -1;
  if (function_type) return 0;
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
  function_type = api->function_type;
  return 0;
}

namespace {


// Makes a function of `def` with the given __module__ and globals.
Ref build_function(const FuncDef& def, Ref module_name, PyObject* globals, PyObject* closure) {
  if (def.params.size() > static_cast<size_t>(kMaxParams)) {
    PyErr_SetString(PyExc_SystemError, "lumo: too many parameters declared");
    return Ref();
  }
  Shape shape = detail::shape_of(def);
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

  FuncObject* f = PyObject_GC_New(FuncObject, function_type);
  if (!f) return Ref();
  f->vectorcall = shape.plain ? detail::vectorcall_positional : detail::vectorcall_general;
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
  f->assigned_signature = nullptr;
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
