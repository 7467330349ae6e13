// Helpers of the runtime: interned names, module globals, classes, imports.
#include "pyrt/pyrt.hpp"
#include "pyrt/interp.hpp"

#include <unistd.h>

#include <mutex>
#include <string>
#include <unordered_map>

namespace pyrt {

void set_owner_class(PyObject* func, PyObject* cls);

PyObject* intern(const char* s) {
  // Called with the GIL held; the table lives as long as the process, like the
  // interned texts it holds.
  static auto* table = new std::unordered_map<std::string, PyObject*>();
  auto it = table->find(s);
  if (it != table->end()) return it->second;
  PyObject* o = PyUnicode_InternFromString(s);
  if (!o) {
    // Interning a short ASCII name only fails when memory is exhausted.
    Py_FatalError("lumo: cannot intern a name");
  }
  table->emplace(s, o);
  return o;
}

Ref global_in(PyObject* globals, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) return Ref();
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins) {
    v = PyDict_GetItemWithError(builtins, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

Ref global(Func& f, PyObject* name) { return global_in(f.globals, name); }

Ref global(Func& f, PyObject* name, GlobalSite& site) {
  const std::uint64_t version = interp::dict_version(f.globals);
  if (version && site.version == version && site.globals == f.globals) return Ref::borrow(site.value);
  PyObject* v = PyDict_GetItemWithError(f.globals, name);
  if (!v) {
    site.version = 0;
    return PyErr_Occurred() ? Ref() : global_in(f.globals, name);  // builtins, or NameError
  }
  site = {f.globals, version, v};
  return Ref::borrow(v);
}

Ref message_tuple(PyObject* const* items, Py_ssize_t n) {
  Ref t = Ref::steal(PyTuple_New(n));
  if (!t) return t;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = items[i] ? new_ref(items[i]) : PyDict_New();
    if (!v) return Ref();
    PyTuple_SET_ITEM(t.get(), i, v);
  }
  return t;
}

Ref type_lookup(PyTypeObject* type, PyObject* name, TypeSite& site) {
  const unsigned int version = interp::type_version(type);
  if (version && site.version == version && site.type == type) return Ref::borrow(site.value);
  Ref found = Ref::steal(interp::type_lookup(type, name));
  site = {type, found ? version : 0, found.get()};
  return found;
}

Ref module_attr(PyObject* module, PyObject* name, ModuleSite& site) {
  if (!Py_IS_TYPE(module, &PyModule_Type) || !PyUnicode_CheckExact(name)) return getattr(module, name);
  PyObject* ns = PyModule_GetDict(module);
  const std::uint64_t version = interp::dict_version(ns);
  if (version && site.entry.version == version && site.entry.globals == ns && site.name == name)
    return Ref::borrow(site.entry.value);
  Ref v = getattr(module, name);
  // Remembered only when the module's look-up found the namespace's entry (a
  // module __getattr__ may have run: the version is read again after it).
  // The exact text's look-up runs no code and cannot fail.
  if (v && version && PyDict_GetItemWithError(ns, name) == v.get()) {
    Py_XSETREF(site.name, new_ref(name));
    site.entry = {ns, interp::dict_version(ns), v.get()};
  }
  return v;
}

Ref text(PyObject* v) {
  if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
  static PyObject* empty = PyUnicode_InternFromString("");
  return Ref::steal(PyObject_Format(v, empty));
}

Utf8::Utf8(PyObject* text) {
  if (!text || !PyUnicode_Check(text)) return;
  if (const char* s = PyUnicode_AsUTF8(text)) {
    s_ = s;
    return;
  }
  PyErr_Clear();
  escaped_ = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (escaped_)
    s_ = PyBytes_AS_STRING(escaped_.get());
  else
    PyErr_Clear();
}

void raise_arg_type(const char* param, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               expected, Py_TYPE(got)->tp_name);
}

Ref concat(std::span<PyObject* const> pieces) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!t) return t;
  for (size_t i = 0; i < pieces.size(); ++i)
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), new_ref(pieces[i]));
  static PyObject* empty = PyUnicode_InternFromString("");
  return Ref::steal(PyUnicode_Join(empty, t.get()));
}

Ref super_attr(Func& f, PyObject* self, PyObject* name) {
  if (!f.cls) {
    PyErr_SetString(PyExc_RuntimeError, "super(): the method is not part of a class");
    return Ref();
  }
  Ref sup = call(reinterpret_cast<PyObject*>(&PySuper_Type), f.cls, self);
  if (!sup) return sup;
  return getattr(sup.get(), name);
}

namespace {
[[noreturn]] void park() {
  for (;;) pause();
}
}  // namespace

void restore_thread(PyThreadState* save) noexcept {
  if (interp::finalizing()) park();
  // Built without exceptions, a thread that finalization ends while it waits
  // here unwinds without running any destructor: nothing touches the
  // interpreter on the way out.
  PyEval_RestoreThread(save);
}


int import_from(PyObject* module, const char* from, std::span<const char* const> names, int level) {
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!fromlist) return -1;
  for (size_t i = 0; i < names.size(); ++i)
    PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), new_ref(intern(names[i])));
  PyObject* globals = PyModule_GetDict(module);
  Ref mod = Ref::steal(PyImport_ImportModuleLevel(from, globals, nullptr, fromlist.get(), level));
  if (!mod) return -1;
  for (const char* name : names) {
    Ref v = getattr(mod.get(), intern(name));
    if (!v) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, from);
      return -1;
    }
    if (PyModule_AddObjectRef(module, name, v.get()) < 0) return -1;
  }
  return 0;
}

Method method(PyObject* obj, PyObject* name) {
  Method m;
  PyObject* found = nullptr;
  int unbound = interp::get_method(obj, name, &found);
  m.func = Ref::steal(found);
  if (unbound && found) m.self = obj;
  return m;
}

Ref getattr(PyObject* o, PyObject* name, AttrSite& site) {
  if (PyObject* v = interp::site_value(o, site)) return Ref::borrow(v);
  Ref v = getattr(o, name);
  if (v) interp::learn_site(o, name, site);
  return v;
}

int setattr(PyObject* o, PyObject* name, PyObject* v, AttrSite& site) {
  if (PyObject** slot = interp::site_slot(o, site)) {
    PyObject* old = *slot;
    *slot = new_ref(v);
    xdecref(old);
    return 0;
  }
  if (setattr(o, name, v) < 0) return -1;
  interp::learn_store_site(o, name, site);
  return 0;
}

Method method(PyObject* obj, PyObject* name, AttrSite& site) {
  if (PyObject* f = interp::site_method(obj, site)) {
    Method m;
    m.func = Ref::borrow(f);
    m.self = obj;
    return m;
  }
  Method m = method(obj, name);
  if (m.self) interp::learn_site(obj, name, site, m.func.get());
  return m;
}

int add_function(PyObject* module, const FuncDef& def) {
  Ref f = make_function(def, module);
  if (!f) return -1;
  return PyModule_AddObjectRef(module, def.name, f.get());
}

Ref make_class(PyObject* module, const char* name, PyObject* bases, std::span<const Member> members) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return ns;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref qualname = Ref::steal(PyUnicode_FromString(name));
  if (!module_name || !qualname) return Ref();
  // Set __module__ and __qualname__ here: left out, type() would take
  // __module__ from whatever frame runs the import.
  if (PyDict_SetItem(ns.get(), intern("__module__"), module_name.get()) < 0 ||
      PyDict_SetItem(ns.get(), intern("__qualname__"), qualname.get()) < 0)
    return Ref();
  for (const Member& m : members) {
    Ref v;
    if (m.func) {
      v = make_function(*m.func, module);
      if (v && m.property) v = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), v.get()));
    } else {
      v = Ref::borrow(m.value);
    }
    if (!v || PyDict_SetItem(ns.get(), intern(m.name), v.get()) < 0) return Ref();
  }
  // The winner among the metaclasses of the bases, as class statements pick it.
  PyTypeObject* meta = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(t, meta)) meta = t;
  }
  Ref cls = call(reinterpret_cast<PyObject*>(meta), qualname.get(), bases, ns.get());
  if (!cls) return cls;
  // Methods remember their class, so that they can call super() as a method
  // defined in a class statement would.
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(ns.get(), &pos, &key, &value))
    if (is_function(value)) set_owner_class(value, cls.get());
  return cls;
}

}  // namespace pyrt
