// pyrt: the small runtime that every lumo extension module is written against.
//
// Ownership: a `PyObject*` is in one of four kinds of hands, and the code says which.
//  * Owned, in a local: a `Ref` owns exactly one strong reference (or nothing);
//    it is move-only and releases the reference when it goes out of scope. A
//    new reference is taken with `Ref::steal`, a further one of a borrowed
//    pointer with `Ref::borrow`; `release()` hands it on.
//  * Borrowed: a plain `PyObject*` parameter or local is a view, valid while
//    some owner (an argument of the current call, a Ref, a container, the
//    unchanged class or namespace a call-site cache read it from) keeps it.
//  * Owned by an object: the `PyObject*` fields of an extension object (a
//    function's __name__, a channel's socket) hold strong references that the
//    object's tp_clear and tp_dealloc release (Py_CLEAR) and tp_traverse
//    visits. A field takes a reference with `new_ref`.
//  * Owned by the process: the module-level objects made once at module exec
//    (interned names, imported classes, capsules' tables) are never released.
// Nothing outside this runtime calls Py_INCREF/Py_DECREF except through these.
// Failure is "an empty Ref (or nullptr / -1) with a Python error set", and it
// is propagated upwards unchanged. The code is built without C++ exceptions:
// nothing throws, and a failed allocation is a MemoryError like any other.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>

namespace pyrt {

// Py_XDECREF, inlined wherever it is used: with immortal objects (3.12 on) it
// grew big enough that the compiler called it out of line on the call path
// (Py_DECREF itself is always inlined).
[[gnu::always_inline]] inline void xdecref(PyObject* o) noexcept {
  if (o) Py_DECREF(o);
}

class Ref {
  PyObject* p_ = nullptr;

 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      xdecref(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { xdecref(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  Ref copy() const noexcept { return borrow(p_); }
  void reset() noexcept { xdecref(std::exchange(p_, nullptr)); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
};

// A new strong reference to `o` (or null) for a field or the interpreter to take over.
inline PyObject* new_ref(PyObject* o) noexcept {
  Py_XINCREF(o);
  return o;
}

// The tuple of a message given by its parts, where a null part stands for an
// empty dict of the message's own (made here).
Ref message_tuple(PyObject* const* items, Py_ssize_t n);

// New reference to None (or True/False) as a Ref.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// Takes the GIL back after PyEval_SaveThread. While the interpreter shuts down
// it ends a daemon thread that asks for the GIL by unwinding the thread's stack,
// which would run C++ destructors without the GIL (and end in std::terminate when
// it passes a destructor): such a thread is parked instead until the process exits.
void restore_thread(PyThreadState* save) noexcept;

// Releases the GIL for the lifetime of the object: wrap every blocking system call.
class NoGil {
  PyThreadState* save_;

 public:
  NoGil() noexcept : save_(PyEval_SaveThread()) {}
  ~NoGil() { restore_thread(save_); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;
};

// ---------------------------------------------------------------- signatures

enum class Kind : std::uint8_t { Normal, VarArgs, VarKw };  // Normal: positional-or-keyword
enum class Check : std::uint8_t { None, Str, Int, Tuple, Float };

struct Default {
  enum class T : std::uint8_t { Absent, None, False, True, Int, Float, Str } t = T::Absent;
  long long i = 0;
  double d = 0;
  const char* s = nullptr;
};
constexpr Default dnone() { return {Default::T::None}; }
constexpr Default dbool(bool b) { return {b ? Default::T::True : Default::T::False}; }
constexpr Default dint(long long i) { return {Default::T::Int, i}; }
constexpr Default dfloat(double d) { return {Default::T::Float, 0, d}; }
constexpr Default dstr(const char* s) { return {Default::T::Str, 0, 0, s}; }

struct Param {
  const char* name;
  const char* annotation = nullptr;  // stored as text in __annotations__
  Check check = Check::None;
  Default dflt = {};
  Kind kind = Kind::Normal;
};

struct Func;
// The body of a function. `a` holds one borrowed value per declared parameter,
// in declaration order: *args as a tuple, **kwds as a dict.
using Impl = Ref (*)(Func& f, PyObject* const* a);

struct FuncDef {
  const char* name;
  const char* qualname;
  std::span<const Param> params;
  Impl impl;
  const char* doc = nullptr;
  const char* return_annotation = nullptr;
};

// A Python-visible function or method of a lumo module.
struct Func {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncDef* def;
  PyObject* name;         // __name__
  PyObject* qualname;     // __qualname__
  PyObject* module;       // __module__
  PyObject* doc;          // __doc__
  PyObject* defaults;     // __defaults__ (tuple or None)
  PyObject* kwdefaults;   // __kwdefaults__
  PyObject* annotations;  // __annotations__ (dict of texts)
  PyObject* dict;         // __dict__
  PyObject* globals;      // the module's namespace, read at each use
  PyObject* closure;      // values the function holds (any object, or NULL)
  PyObject* cls;          // the class whose namespace holds it (for super())
  PyObject* assigned_signature;  // a __signature__ assigned to the function, or null: built on each read
  PyObject* weakreflist;
};

// Makes a function of `def` whose globals are `module`'s namespace.
Ref make_function(const FuncDef& def, PyObject* module, PyObject* closure = nullptr);
// Makes a function of `def` at run time inside the function `outer` (a nested
// def): it shares outer's globals, and its __module__ is their __name__.
Ref make_function_in(const FuncDef& def, const Func& outer, PyObject* closure = nullptr);
// The function type of the process (lumo.ring's, shared by every lumo module).
extern PyTypeObject* function_type;
inline bool is_function(PyObject* o) { return Py_IS_TYPE(o, function_type); }
// `o` as the lumo function made from `def`, or null when it is anything else.
inline Func* function_of(PyObject* o, const FuncDef& def) {
  return is_function(o) && reinterpret_cast<Func*>(o)->def == &def ? reinterpret_cast<Func*>(o) : nullptr;
}

// A vectorcall. A lumo function is called straight through its binder: it
// returns null exactly when it has set an error, so it needs none of the checks
// that PyObject_Vectorcall makes of a foreign callable's result.
inline PyObject* vectorcall(PyObject* c, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (is_function(c)) return reinterpret_cast<Func*>(c)->vectorcall(c, args, nargsf, kwnames);
  return PyObject_Vectorcall(c, args, nargsf, kwnames);
}

// ------------------------------------------------------------------ classes

struct Member {
  const char* name;
  const FuncDef* func = nullptr;    // a method (or getter when `property` is set)
  bool property = false;            // wrap the function in a read-only property
  PyObject* value = nullptr;        // any other value (borrowed)
};

// Makes a class by calling the metaclass of `bases` with (name, bases, namespace).
// The namespace gets __module__ and __qualname__ and the members in order.
Ref make_class(PyObject* module, const char* name, PyObject* bases,
               std::span<const Member> members);

// ------------------------------------------------------------------ helpers

// An interned text, made once for the life of the process.
PyObject* intern(const char* s);

// Reads a module-level name at the time of use: the function's globals, then builtins.
Ref global(Func& f, PyObject* name);
// The same for a call site that reads one name on every call: it remembers the
// value it found in the globals while they are unchanged (by their version).
struct GlobalSite {
  PyObject* globals = nullptr;  // the namespace read, only compared
  std::uint64_t version = 0;
  PyObject* value = nullptr;  // borrowed: the unchanged namespace holds it
};
Ref global(Func& f, PyObject* name, GlobalSite& site);

// A call site that looks one name up along a class's MRO (as _PyType_Lookup
// does): it remembers what it found while the class keeps its version tag,
// which the interpreter changes whenever the class or a base is assigned to.
struct TypeSite {
  PyTypeObject* type = nullptr;  // only compared
  unsigned int version = 0;
  PyObject* value = nullptr;  // borrowed: the unchanged class holds it
};
// The entry of `name` along type's MRO: a new reference, or null with no error set.
Ref type_lookup(PyTypeObject* type, PyObject* name, TypeSite& site);

// A call site that reads attributes of modules, such as a published module's
// functions: it remembers the entry it found in a module's namespace for a
// name while the namespace is unchanged. It keeps a reference to the name (an
// exact str) until it learns another; a site lives as long as the process.
struct ModuleSite {
  PyObject* name = nullptr;
  GlobalSite entry;
};
// module.name; through the site while `module` is exactly a module.
Ref module_attr(PyObject* module, PyObject* name, ModuleSite& site);
Ref global_in(PyObject* globals, PyObject* name);

// The text of a value: format(value, "").
Ref text(PyObject* v);

// Attribute access with an interned name.
inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

// A call site's memory of one attribute look-up on instances of a class:
// pyrt/interp.hpp learns it after a plain look-up and reads through it while
// the class and the instance are as they were.
struct AttrSite {
  unsigned int version = 0;    // the class's version tag when learnt; 0: nothing learnt
  const void* keys = nullptr;  // the class's shared keys when learnt (only compared)
  Py_ssize_t index = -1;       // the attribute's slot in the values; -1: the name has none
  Py_ssize_t nentries = 0;     // names in the shared keys when learnt
  PyObject* function = nullptr;  // method sites: the class's function, borrowed (the unchanged class holds it)
  PyObject* name = nullptr;      // the name looked up (interned: lives as long as the process)
  bool values = false;           // the class's instances keep their attributes in values
};
// o.name for a call site that reads the same attribute on every call.
Ref getattr(PyObject* o, PyObject* name, AttrSite& site);
// o.name = v. For an interned name the type's own setter is called straight:
// PyObject_SetAttr would only intern the name first.
inline int setattr(PyObject* o, PyObject* name, PyObject* v) {
  setattrofunc set = Py_TYPE(o)->tp_setattro;
  if (set && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) return set(o, name, v);
  return PyObject_SetAttr(o, name, v);
}

// o.name = v for a call site that writes the same attribute on every call
// (name interned): while the class is as the site learnt it, and the instance
// already holds a value there, the value is replaced in place.
int setattr(PyObject* o, PyObject* name, PyObject* v, AttrSite& site);

// obj.name(args...), through vectorcall.
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* v[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(name, v, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// callable(*args, **kwds) for an exact tuple `args` and a dict or null `kwds`.
// A Python function or a lumo function called without keywords is called
// straight through its vectorcall: each returns null exactly when it has set
// an error, so neither needs the checks PyObject_Call makes of other callables.
inline Ref call_args(PyObject* c, PyObject* args, PyObject* kwds) {
  vectorcallfunc vc = nullptr;
  if (!kwds) {
    if (is_function(c)) vc = reinterpret_cast<Func*>(c)->vectorcall;
    else if (PyFunction_Check(c)) vc = PyVectorcall_Function(c);
  }
  if (!vc) return Ref::steal(PyObject_Call(c, args, kwds));
  return Ref::steal(vc(c, reinterpret_cast<PyTupleObject*>(args)->ob_item, static_cast<size_t>(PyTuple_GET_SIZE(args)), nullptr));
}
template <typename... A>
Ref call(PyObject* callable, A... args) {
  if constexpr (sizeof...(A) == 0) {
    return Ref::steal(PyObject_CallNoArgs(callable));
  } else {
    PyObject* v[] = {nullptr, args...};
    return Ref::steal(vectorcall(callable, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
}


// The attribute `name` of super(<class that holds f>, self): what a method
// defined in a class statement reaches with super().name.
Ref super_attr(Func& f, PyObject* self, PyObject* name);

// The UTF-8 form of a text, for a "%s" of a message: the text's own bytes, or, for a
// text that has none (a lone surrogate), its backslash-escaped form; "?" for what
// is no text at all. Made with no error set; leaves none set. Valid while it lives.
class Utf8 {
  Ref escaped_;
  const char* s_ = "?";

 public:
  explicit Utf8(PyObject* text);
  const char* c_str() const noexcept { return s_; }
};

// Raises "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
void raise_arg_type(const char* param, const char* expected, PyObject* got);

// Raises Exception(text) where text is built by concatenating the pieces (each a str).
Ref concat(std::span<PyObject* const> pieces);


// Holds a fetched exception and restores it on request (or drops it).
class SavedError {
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;

 public:
  // The traceback is attached to the value at once, as an except clause does, so
  // that code run while it is handled (sys.exception()) sees where it was raised.
  SavedError() {
    PyErr_Fetch(&type_, &value_, &tb_);
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
  }
  ~SavedError() {
    xdecref(type_);
    xdecref(value_);
    xdecref(tb_);
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  PyObject* value() const { return value_; }
  PyObject* type() const { return type_; }
  bool matches(PyObject* cls) const { return type_ && PyErr_GivenExceptionMatches(type_, cls); }
  // Puts the exception back as the current error.
  void restore() {
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
  }
  // The exception object, owned.
  Ref take_value() {
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    Ref v = Ref::steal(value_);
    value_ = nullptr;
    return v;
  }
};

// The scope of an `except` block: while it lives, `e` is the exception being
// handled (sys.exc_info() shows it, and an exception raised meanwhile gets it
// as its __context__), as in the interpreter's own except blocks.
class Handling {
  Ref previous_;

 public:
  explicit Handling(PyObject* e) : previous_(Ref::steal(PyErr_GetHandledException())) { PyErr_SetHandledException(e); }
  ~Handling() { PyErr_SetHandledException(previous_.get()); }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
};

// Module initialisation. lumo.ring makes the runtime's function type and
// exports it; every other lumo module takes that one type from lumo.ring
// (importing it), so the process has one function type. Both are idempotent.
int export_runtime(PyObject* ring_module);
int import_runtime();
inline int init_runtime() { return import_runtime(); }

// Relative import: `from .<module> import <names...>`, binding each name in the
// module's namespace. Returns -1 with an error set on failure.
int import_from(PyObject* module, const char* from, std::span<const char* const> names, int level = 1);

// Adds a function made from `def` to the module under its name.
int add_function(PyObject* module, const FuncDef& def);

// obj.name looked up the way the interpreter looks up `obj.name(...)`: a
// function found on the type comes back unbound together with the object to
// pass as its first argument, so that no bound method is made. The lookup
// happens here, before the arguments are built, as in a Python call.
struct Method {
  Ref func;                  // empty, with an error set, when the lookup failed
  PyObject* self = nullptr;  // borrowed: the first argument to add, or null

  explicit operator bool() const noexcept { return static_cast<bool>(func); }

  template <typename... A>
  Ref operator()(A... args) const {
    PyObject* v[] = {nullptr, self, args...};
    const size_t n = sizeof...(A);
    if (self) return Ref::steal(vectorcall(func.get(), v + 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return Ref::steal(vectorcall(func.get(), v + 2, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }

  // Calls with `nargs` positional arguments in args[1..nargs] and the keyword
  // arguments of `kwds` (a dict, or null). args[0] is a free slot: it receives
  // `self` when the function needs it.
  Ref call_dict(PyObject** args, size_t nargs, PyObject* kwds) const {
    if (self) {
      args[0] = self;
      return Ref::steal(PyObject_VectorcallDict(func.get(), args, nargs + 1, kwds));
    }
    return Ref::steal(PyObject_VectorcallDict(func.get(), args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwds));
  }
};
Method method(PyObject* obj, PyObject* name);
// The looked-up method as the lumo function made from `def`, called on the
// object it was looked up on; null when it is anything else (an override, an
// instance attribute), which is then called the plain way.
inline Func* own_method(const Method& m, const FuncDef& def) { return m.self ? function_of(m.func.get(), def) : nullptr; }
// The same for a call site that looks up the same method on every call.
Method method(PyObject* obj, PyObject* name, AttrSite& site);

}  // namespace pyrt
