// pyrt/interp.hpp: the one place that knows the interpreter's private
// internals. Module code reaches them only through the functions below.
//
// Each private use names the CPython versions it was checked against (their
// headers, and for the socket object the channel's own check at run time) and
// has a public fallback. Any other interpreter, and every interpreter in a
// build with LUMO_PLAIN_INTERP defined (cmake -DLUMO_PLAIN_INTERP=ON), builds
// and runs on the plain path: the same behaviour, a few more instructions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyrt/pyrt.hpp"

#include <cstdint>

// The minor version of CPython 3 whose internals this build uses; 0 on the
// plain path.
#if defined(LUMO_PLAIN_INTERP)
#define LUMO_INTERP 0
#elif PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION >= 11 && PY_MINOR_VERSION <= 13
#define LUMO_INTERP PY_MINOR_VERSION
#else
#define LUMO_INTERP 0
#endif

#if LUMO_INTERP == 13
// Exported by 3.13 (PyAPI_FUNC) but declared only in its internal headers
// (internal/pycore_object.h); 3.11 and 3.12 declare it in cpython/object.h.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace pyrt::interp {

inline constexpr int known = LUMO_INTERP;

// An int whose value fits one internal digit (|v| < 2**30), read in place:
// true with *v set. False: the caller converts it with
// PyLong_AsLongLongAndOverflow.
inline bool small_int(PyObject* o, long long* v) {
#if LUMO_INTERP == 11
  // 3.11: ob_size is the signed count of 30-bit digits.
  const Py_ssize_t size = Py_SIZE(o);
  if (size < -1 || size > 1) return false;
  *v = size == 0 ? 0 : size * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
  return true;
#elif LUMO_INTERP >= 12
  // 3.12 and 3.13: the documented unstable API over the tagged layout.
  const auto* l = reinterpret_cast<const PyLongObject*>(o);
  if (!PyUnstable_Long_IsCompact(l)) return false;
  *v = PyUnstable_Long_CompactValue(l);
  return true;
#else
  (void)o;
  (void)v;
  return false;
#endif
}

// The head of the interpreter's socket object (PySocketSockObject in
// Modules/socketmodule.h, which is not installed), the same on 3.11, 3.12 and
// 3.13: descriptor (-1 once closed), family, type, protocol, error handler,
// time-out in nanoseconds (negative: none). A channel reads it in place only
// after checking, for its own socket, that the fields read back what fileno(),
// gettimeout(), SO_DOMAIN and SO_TYPE say; elsewhere it calls the methods.
struct SocketHead {
  PyObject_HEAD
  int fd;
  int family;
  int type;
  int proto;
  PyObject* (*errorhandler)();
  std::int64_t timeout_ns;
};
inline constexpr bool socket_head_known = LUMO_INTERP != 0;

// Whether the interpreter is shutting down; callable without the GIL.
inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  // 3.11 and 3.12 (cpython/pylifecycle.h); public as Py_IsFinalizing from 3.13.
  return _Py_IsFinalizing();
#endif
}

// obj.name as a function and whether it wants obj as its first argument
// (1: *found is the unbound function), without making a bound method. On the
// plain path *found is the attribute itself, bound if it is a method.
inline int get_method(PyObject* obj, PyObject* name, PyObject** found) {
#if LUMO_INTERP
  return _PyObject_GetMethod(obj, name, found);
#else
  *found = PyObject_GetAttr(obj, name);
  return 0;
#endif
}

// The normal attribute lookup of object.__getattribute__, which returns null
// without an error where it would raise AttributeError. (3.11 to 3.13 skip
// making that AttributeError at all.)
inline PyObject* generic_getattr_or_null(PyObject* obj, PyObject* name) {
#if LUMO_INTERP
  return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
#else
  PyObject* found = PyObject_GenericGetAttr(obj, name);
  if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return found;
#endif
}

// A new reference to the attribute `name` of a type found along its MRO (no
// descriptor is called), or null, never with an error set.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if LUMO_INTERP
  PyObject* found = _PyType_Lookup(type, name);
  Py_XINCREF(found);
  return found;
#else
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_Check(mro)) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = PyType_GetDict(base);
#else
    PyObject* dict = base->tp_dict;
    Py_XINCREF(dict);
#endif
    if (!dict) continue;
    PyObject* found = PyDict_GetItemWithError(dict, name);
    Py_XINCREF(found);
    Py_DECREF(dict);
    if (found) return found;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return nullptr;
    }
  }
  return nullptr;
#endif
}

// The version tag of a type: the interpreter changes it whenever the type or
// one of its bases is assigned to, and never gives it to another type, so a
// call site that remembers what it found on a type at one tag can skip the
// look-up while the tag is the same (as the interpreter's own specialised
// instructions do). 0: no tag now; look up every time. The plain path has none.
inline unsigned int type_version(PyTypeObject* type) {
#if LUMO_INTERP >= 12
  // Tags are given on demand (and no more to a type changed very often).
  if (!type->tp_version_tag && !PyUnstable_Type_AssignVersionTag(type)) return 0;
  return type->tp_version_tag;
#elif LUMO_INTERP == 11
  // 3.11 gives a tag when _PyType_Lookup caches the type's entries; a type
  // without one is looked up the plain way, which gives it one.
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
  (void)type;
  return 0;
#endif
}

// A number that a dict takes anew with every change to it, and that no other
// dict state ever had: a call site that remembers a value it read from a dict
// at one version can use it while the version is the same. 0: no version
// (the plain path); read the dict every time.
inline std::uint64_t dict_version(PyObject* dict) {
#if LUMO_INTERP
  // 3.11 to 3.13 keep ma_version_tag in step with every change (3.12 and 3.13
  // mark it deprecated; their dict watchers use its low bits, which only
  // makes it change more often).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
  (void)dict;
  return 0;
#endif
}

// ------------------------------------------------------- attribute sites
//
// A call site that reads one attribute of instances of (mostly) one class
// remembers where that class's instances keep it, as the interpreter's own
// specialised attribute reads do: the class's version tag says that nothing
// on the class or its bases changed (no data descriptor of that name came,
// __getattribute__ is still the generic one), and the class's shared keys say
// at which slot of an instance's values the attribute is. The instance's value
// is read there while the instance keeps its values in place (no __dict__
// made for it); a slot that holds nothing sends the site to the plain look-up.
// A method site remembers the function found on the class and that instances
// cannot shadow it (the name has no slot, or the instance's slot is empty).

#if LUMO_INTERP
// The split-table layout of 3.11 to 3.13 (Include/internal/pycore_dict.h, the
// same in the three, as built with the GIL): a class's shared keys, with their
// entries after the index table.
struct SharedKeys {
  Py_ssize_t dk_refcnt;
  std::uint8_t dk_log2_size;
  std::uint8_t dk_log2_index_bytes;
  std::uint8_t dk_kind;
  std::uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
  char dk_indices[1];
};
struct SharedEntry {
  PyObject* me_key;
  PyObject* me_value;
};
inline constexpr std::uint8_t kSplitKeys = 2;  // DICT_KEYS_SPLIT

inline const SharedKeys* shared_keys(PyTypeObject* type) {
  return reinterpret_cast<const SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}

// Whether instances of the class keep their attributes in values laid out by
// the class's shared keys (Include/internal/pycore_object.h).
inline bool has_values(PyTypeObject* type) {
#if LUMO_INTERP >= 13
  // Inline values right after the object head, for classes of that layout.
  return PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) && type->tp_basicsize == sizeof(PyObject);
#else
  return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#endif
}

// The instance's values (one slot per entry of the shared keys), or null
// once a __dict__ of its own has taken them over.
inline PyObject** instance_values(PyObject* obj) {
#if LUMO_INTERP == 11
  // A values pointer four words before the object.
  return *(reinterpret_cast<PyObject***>(obj) - 4);
#elif LUMO_INTERP == 12
  // Three words before the object: the dict, or the values tagged with a low bit.
  char* dict_or_values = *(reinterpret_cast<char**>(obj) - 3);
  if (!(reinterpret_cast<std::uintptr_t>(dict_or_values) & 1)) return nullptr;
  return reinterpret_cast<PyObject**>(dict_or_values + 1);
#else
  // After the head: capacity, size, embedded and valid bytes, then the slots.
  struct Inline {
    std::uint8_t capacity, size, embedded, valid;
    PyObject* values[1];
  };
  auto* v = reinterpret_cast<Inline*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
  return v->valid ? v->values : nullptr;
#endif
}

// The slot of `name` in the shared keys (names are interned: compared by identity), or -1.
inline Py_ssize_t shared_slot(const SharedKeys* keys, PyObject* name) {
  const auto* entries = reinterpret_cast<const SharedEntry*>(keys->dk_indices + (std::size_t{1} << keys->dk_log2_index_bytes));
  for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
    if (entries[i].me_key == name) return i;
  return -1;
}

// The __dict__ made for an instance of a class with a managed dict, or null:
// three words before the object in 3.11 to 3.13 (3.12: untagged).
inline PyObject* instance_dict(PyObject* obj) {
#if LUMO_INTERP == 12
  char* dict_or_values = *(reinterpret_cast<char**>(obj) - 3);
  if (reinterpret_cast<std::uintptr_t>(dict_or_values) & 1) return nullptr;
  return reinterpret_cast<PyObject*>(dict_or_values);
#else
  return *(reinterpret_cast<PyObject**>(obj) - 3);
#endif
}

// Is the instance's class as the site learnt it?
inline bool site_holds(PyObject* obj, const pyrt::AttrSite& site) {
  PyTypeObject* type = Py_TYPE(obj);
  if (!site.version || type->tp_version_tag != site.version || shared_keys(type) != site.keys) return false;
#if LUMO_INTERP == 11
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
  return true;
}

// The instance's own value under the site's name in its __dict__ (borrowed), or null.
inline PyObject* dict_value(PyObject* obj, const pyrt::AttrSite& site) {
  PyObject* dict = instance_dict(obj);
  if (!dict) return nullptr;
  PyObject* v = PyDict_GetItemWithError(dict, site.name);
  if (!v) PyErr_Clear();  // a key's __eq__ raised: the plain look-up raises it again
  return v;
}
#endif

// The instance's own value of the site's attribute (borrowed), or null: not
// known here, the caller looks it up the plain way.
inline PyObject* site_value(PyObject* obj, const pyrt::AttrSite& site) {
#if LUMO_INTERP
  if (!site_holds(obj, site)) return nullptr;
  if (site.values)
    if (PyObject** values = instance_values(obj)) return site.index >= 0 ? values[site.index] : nullptr;
  return dict_value(obj, site);
#else
  (void)obj;
  (void)site;
  return nullptr;
#endif
}

// An attribute hook of this module's own that looks attributes up as
// PyObject_GenericGetAttr does and only then falls back to __getattr__: what
// a site finds in an instance it would find too (a missing one is looked up
// the plain way). Set at module exec; null when the module has none.
inline getattrofunc generic_first_getattro = nullptr;

// After a plain look-up of obj.name: learns where the class keeps it. With
// `function` (a method site), the function the class holds under the name,
// which the instance did not shadow.
inline void learn_site(PyObject* obj, PyObject* name, pyrt::AttrSite& site, PyObject* function = nullptr) {
  site.version = 0;
#if LUMO_INTERP
  PyTypeObject* type = Py_TYPE(obj);
  if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
      (type->tp_getattro != PyObject_GenericGetAttr &&
       (!generic_first_getattro || type->tp_getattro != generic_first_getattro)) ||
      !PyUnicode_CheckExact(name))
    return;
  PyObject* on_type = _PyType_Lookup(type, name);  // borrowed
  if (function ? on_type != function : on_type && Py_TYPE(on_type)->tp_descr_set) return;
  const unsigned int version = type_version(type);
  if (!version) return;
  const SharedKeys* keys = shared_keys(type);
  site.values = has_values(type) && keys && keys->dk_kind == kSplitKeys;
  site.keys = keys;
  site.index = site.values ? shared_slot(keys, name) : -1;
  site.nentries = keys ? keys->dk_nentries : 0;
  site.function = function;
  site.name = name;
  site.version = version;
#else
  (void)obj;
  (void)name;
  (void)function;
#endif
}

// After a plain store of obj.name: learns where the class keeps it, for a
// class whose instances take attributes the generic way (no __setattr__ of
// its own, no data descriptor of that name).
inline void learn_store_site(PyObject* obj, PyObject* name, pyrt::AttrSite& site) {
  learn_site(obj, name, site);
#if LUMO_INTERP
  if (Py_TYPE(obj)->tp_setattro != PyObject_GenericSetAttr) site.version = 0;
#endif
}

// The instance's slot for the attribute of a store site, holding a value that
// a store may replace in place, or null: the store then goes the plain way.
// Replacing a value leaves the values' order and the shared keys as they are;
// an empty slot, or an instance whose __dict__ has been made, is not written here.
inline PyObject** site_slot(PyObject* obj, const pyrt::AttrSite& site) {
#if LUMO_INTERP
  if (!site.values || site.index < 0 || !site_holds(obj, site)) return nullptr;
  PyObject** values = instance_values(obj);
#if LUMO_INTERP >= 13
  if (instance_dict(obj)) return nullptr;
#endif
  return values && values[site.index] ? values + site.index : nullptr;
#else
  (void)obj;
  (void)site;
  return nullptr;
#endif
}

// The class's function under the site's name, when the instance cannot shadow it (borrowed), or null.
inline PyObject* site_method(PyObject* obj, const pyrt::AttrSite& site) {
#if LUMO_INTERP
  if (!site.function || !site_holds(obj, site)) return nullptr;
  if (site.values) {
    if (PyObject** values = instance_values(obj)) {
      const bool shadowed = site.index >= 0 ? values[site.index] != nullptr
                                            : shared_keys(Py_TYPE(obj))->dk_nentries != site.nentries;
      return shadowed ? nullptr : site.function;
    }
  }
  PyObject* dict = instance_dict(obj);
  if (!dict) return site.function;
  const int shadowed = PyDict_Contains(dict, site.name);
  if (shadowed < 0) PyErr_Clear();  // the plain look-up raises it again
  return shadowed ? nullptr : site.function;
#else
  (void)obj;
  (void)site;
  return nullptr;
#endif
}

// Resizes a bytes object that only its creator holds (documented in the C API
// reference of 3.11 to 3.13, with no public spelling).
inline int resize_bytes(PyObject** bytes, Py_ssize_t size) { return _PyBytes_Resize(bytes, size); }

}  // namespace pyrt::interp
