// lumo.client._RemoteMethod: a local callable for one remote function. Calling
// it calls its client's `call` with the remote name first.
#include "client/client.hpp"
#include "pyrt/interp.hpp"

namespace client {
namespace {

Ref m_init(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  if (pyrt::setattr(self, names._client, a[1]) < 0) return Ref();
  if (pyrt::setattr(self, names._method, a[2]) < 0) return Ref();
  return pyrt::none();
}

// Room on the stack for the arguments of most calls.
constexpr Py_ssize_t kStackArgs = 8;

// The reads of every call, each remembered for the class it last saw.
pyrt::AttrSite site_client, site_call, site_method;

// kwds is null for a call without keywords from the class's own slot.
Ref m_call(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* args = a[1];
  PyObject* kwds = a[2];
  Ref client = pyrt::getattr(self, names._client, site_client);
  if (!client) return client;
  pyrt::Method call = pyrt::method(client.get(), names.call, site_call);
  if (!call) return Ref();
  Ref remote_name = pyrt::getattr(self, names._method, site_method);
  if (!remote_name) return remote_name;
  if (call.self) {
    // The client's own Client.call takes this call's tuple and dict as they are.
    bool called;
    Ref result = call_bound(call.func.get(), call.self, remote_name.get(), args, kwds, &called);
    if (called) return result;
  }

  // [slot for the client, remote name, *args]
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  PyObject* stack[kStackArgs + 2];
  PyObject** argv = stack;
  if (n > kStackArgs) {
    argv = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(n + 2)));
    if (!argv) {
      PyErr_NoMemory();
      return Ref();
    }
  }
  argv[0] = nullptr;
  argv[1] = remote_name.get();
  for (Py_ssize_t i = 0; i < n; ++i) argv[i + 2] = PyTuple_GET_ITEM(args, i);
  // The binder gave this call a dict of its own, so it is handed on as it is.
  Ref result = call.call_dict(argv, static_cast<size_t>(n + 1), kwds && PyDict_GET_SIZE(kwds) ? kwds : nullptr);
  if (argv != stack) PyMem_Free(argv);
  return result;
}

const Param p_init[] = {{"self"}, {"client", "'Client'"}, {"method", "str", Check::Str}};
const Param p_call[] = {
    {"self"},
    {"args", nullptr, Check::None, {}, pyrt::Kind::VarArgs},
    {"kwds", nullptr, Check::None, {}, pyrt::Kind::VarKw},
};
const pyrt::FuncDef d_init{"__init__", "_RemoteMethod.__init__", p_init, m_init};
const pyrt::FuncDef d_call{"__call__", "_RemoteMethod.__call__", p_call, m_call};

// The class this module made first, the functions its __call__ and __init__
// name, and the version of the class at which its constructor was checked.
PyObject* own_call = nullptr;
PyObject* own_init = nullptr;
PyTypeObject* own_class = nullptr;
unsigned int own_class_version = 0;

// Calling an instance: what the interpreter's own slot for a class with
// __call__ does (look __call__ up on the type, prepend the instance, bind the
// arguments to a tuple and a dict of the call's own), without the prepended
// stack and the binder's second copy. The interpreter puts its own slot back
// when __call__ is reassigned or deleted, and subclasses get it from the
// start, so this runs only while __call__ is this class's own.
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwds) {
  Ref own_args = PyTuple_CheckExact(args) ? Ref::borrow(args) : Ref::steal(PySequence_Tuple(args));
  if (!own_args) return nullptr;
  // No keywords: no dict, until something other than the client's own code needs one.
  Ref own_kwds;
  if (kwds && PyDict_GET_SIZE(kwds) && !(own_kwds = Ref::steal(PyDict_Copy(kwds)))) return nullptr;
  PyObject* const slots[] = {self, own_args.get(), own_kwds.get()};
  return m_call(*reinterpret_cast<Func*>(own_call), slots).release();
}

}  // namespace

Ref make_remote_method(PyObject* module, PyObject* base) {
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!bases) return bases;
  const pyrt::Member members[] = {{"__init__", &d_init}, {"__call__", &d_call}};
  Ref cls = pyrt::make_class(module, "_RemoteMethod", bases.get(), members);
  if (!cls) return cls;
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  Ref call = Ref::steal(pyrt::interp::type_lookup(type, names.dunder_call));
  Ref init = Ref::steal(pyrt::interp::type_lookup(type, names.dunder_init));
  if (!call || !pyrt::is_function(call.get()) || !init || !pyrt::is_function(init.get())) {
    PyErr_SetString(PyExc_SystemError, "_RemoteMethod's methods are not lumo's own functions");
    return Ref();
  }
  // The class of the first import is the one whose slot and constructor run
  // straight; the class and its two functions live as long as the process.
  if (!own_call) {
    own_call = call.release();
    own_init = init.release();
    own_class = reinterpret_cast<PyTypeObject*>(pyrt::new_ref(cls.get()));
  }
  type->tp_call = call_slot;
  return cls;
}

Ref new_remote_method(PyObject* cls, PyObject* client, PyObject* name) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (type != own_class || !PyUnicode_CheckExact(name)) return pyrt::call(cls, client, name);
  const unsigned int version = pyrt::interp::type_version(type);
  if (!version || version != own_class_version) {
    // Checked once per version of the class: object's __new__, lumo's __init__.
    Ref init = Ref::steal(pyrt::interp::type_lookup(type, names.dunder_init));
    if (init.get() != own_init || type->tp_new != PyBaseObject_Type.tp_new) return pyrt::call(cls, client, name);
    own_class_version = version;
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return no_args;
  Ref self = Ref::steal(type->tp_new(type, no_args.get(), nullptr));
  if (!self) return self;
  PyObject* const slots[] = {self.get(), client, name};
  if (!m_init(*reinterpret_cast<Func*>(own_init), slots)) return Ref();
  return self;
}

}  // namespace client
