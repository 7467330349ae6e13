// lumo.client._RemoteClass: a local stand-in for a published class, module or
// namespace. Each attribute that normal lookup does not find becomes a
// _RemoteMethod for "<class>.<attribute>".
#include "client/client.hpp"
#include "pyrt/interp.hpp"

namespace client {
namespace {

Ref m_init(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  if (pyrt::setattr(self, names._client, a[1]) < 0) return Ref();
  if (pyrt::setattr(self, names._class, a[2]) < 0) return Ref();
  return pyrt::none();
}

// The joined names of the last few (class text, attribute name) pairs. A
// program asks its proxies for the same few names again and again, with the
// same two text objects (the text the proxy holds, the name the caller's code
// interned); texts never change, and the pair is held so that no other text
// takes its place. Process-lifetime objects.
struct Joined {
  PyObject* cls = nullptr;
  PyObject* attribute = nullptr;
  PyObject* name = nullptr;
};
constexpr int kJoined = 16;
Joined joined[kJoined];
int joined_next = 0;

Ref joined_name(PyObject* cls, PyObject* attribute) {
  for (const Joined& j : joined)
    if (j.cls == cls && j.attribute == attribute) return Ref::borrow(j.name);
  PyObject* pieces[] = {cls, names.dot, attribute};
  Ref name = pyrt::concat(pieces);
  if (!name) return name;
  Joined& slot = joined[joined_next];
  joined_next = (joined_next + 1) % kJoined;
  Py_XSETREF(slot.cls, pyrt::new_ref(cls));
  Py_XSETREF(slot.attribute, pyrt::new_ref(attribute));
  Py_XSETREF(slot.name, name.copy().release());
  return name;
}

// The reads of every attribute, each remembered for the class it last saw.
pyrt::AttrSite site_class, site_client;
pyrt::GlobalSite remote_method_class;

// cls + "." + name: for a text, the kept join; whatever else `_class`
// became, built as "+" builds it.
Ref remote_name(PyObject* cls, PyObject* name) {
  if (PyUnicode_CheckExact(cls)) return joined_name(cls, name);
  Ref head = Ref::steal(PyNumber_Add(cls, names.dot));
  if (!head) return head;
  return Ref::steal(PyNumber_Add(head.get(), name));
}

Ref m_getattr(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref cls = pyrt::getattr(self, names._class, site_class);
  if (!cls) return cls;
  Ref name = remote_name(cls.get(), a[1]);
  if (!name) return name;
  Ref remote_method = pyrt::global(f, names._RemoteMethod, remote_method_class);
  if (!remote_method) return remote_method;
  Ref client = pyrt::getattr(self, names._client, site_client);
  if (!client) return client;
  return new_remote_method(remote_method.get(), client.get(), name.get());
}

const Param p_init[] = {
    {"self"},
    {"client", "'Client'"},
    {"clsname", "str", Check::Str},
    {"args", nullptr, Check::None, {}, pyrt::Kind::VarArgs},
};
const Param p_getattr[] = {{"self"}, {"method", "str", Check::Str}};
const pyrt::FuncDef d_init{"__init__", "_RemoteClass.__init__", p_init, m_init};
const pyrt::FuncDef d_getattr{"__getattr__", "_RemoteClass.__getattr__", p_getattr, m_getattr};

// The look-up of __getattr__ on the class, remembered by its version tag.
pyrt::TypeSite site_hook;

// Attribute access of the class: what the interpreter's own hook for a class
// with __getattr__ does (normal lookup, then __getattr__ when that raises
// AttributeError), without building the AttributeError that the normal lookup
// would raise and the bound method for __getattr__ on every remote name. The
// interpreter puts its own hook back if __getattr__ or __getattribute__ is
// reassigned, and subclasses get it from the start.
PyObject* getattro(PyObject* self, PyObject* name) {
  PyObject* found = pyrt::interp::generic_getattr_or_null(self, name);
  if (found || PyErr_Occurred()) return found;
  Ref hook = pyrt::type_lookup(Py_TYPE(self), names.dunder_getattr, site_hook);
  if (!hook) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
    return nullptr;
  }
  if (PyType_HasFeature(Py_TYPE(hook.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
    PyObject* args[] = {self, name};
    return pyrt::vectorcall(hook.get(), args, 2, nullptr);
  }
  if (descrgetfunc get = Py_TYPE(hook.get())->tp_descr_get) {
    hook = Ref::steal(get(hook.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!hook) return nullptr;
  }
  return PyObject_CallOneArg(hook.get(), name);
}

}  // namespace

Ref make_remote_class(PyObject* module, PyObject* base) {
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!bases) return bases;
  const pyrt::Member members[] = {{"__init__", &d_init}, {"__getattr__", &d_getattr}};
  Ref cls = pyrt::make_class(module, "_RemoteClass", bases.get(), members);
  if (!cls) return cls;
  reinterpret_cast<PyTypeObject*>(cls.get())->tp_getattro = getattro;
  pyrt::interp::generic_first_getattro = getattro;
  return cls;
}

}  // namespace client
