// lumo.client._RemoteMethod: a local callable for one remote function. Calling
// it calls its client's `call` with the remote name first.
#include "client/client.hpp"
#include "pyrt/interp.hpp"

namespace client {
namespace {

using pyrt::Ref;

Ref m_init(pyrt::Func&, PyObject* const* a) {
  PyObject* self = a[0];
  if (pyrt::setattr(self, names._client, a[1]) < 0) return Ref();
  if (pyrt::setattr(self, names._method, a[2]) < 0) return Ref();
  return pyrt::none();
}

// Room on the stack for the arguments of most calls.
constexpr Py_ssize_t kStackArgs = 8;

// The reads of every call, each remembered for the class it last saw.
pyrt::AttrSite site_client, site_call, site_method;

Ref m_call(pyrt::Func&, PyObject* const* a) {
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
  Ref result = call.call_dict(argv, static_cast<size_t>(n + 1), PyDict_GET_SIZE(kwds) ? kwds : nullptr);
  if (argv != stack) PyMem_Free(argv);
  return result;
}

const pyrt::Param p_init[] = {{"self"}, {"client", "'Client'"}, {"method", "str", pyrt::Check::Str}};
const pyrt::Param p_call[] = {
    {"self"},
    {"args", nullptr, pyrt::Check::None, {}, pyrt::Kind::VarArgs},
    {"kwds", nullptr, pyrt::Check::None, {}, pyrt::Kind::VarKw},
};
const pyrt::FuncDef d_init{"__init__", "_RemoteMethod.__init__", p_init, m_init};
const pyrt::FuncDef d_call{"__call__", "_RemoteMethod.__call__", p_call, m_call};

// The function that __call__ names on the class; kept for the life of the process.
PyObject* own_call = nullptr;

// Calling an instance: what the interpreter's own slot for a class with
// __call__ does (look __call__ up on the type, prepend the instance, bind the
// arguments to a tuple and a dict of the call's own), without the prepended
// stack and the binder's second copy. The interpreter puts its own slot back
// when __call__ is reassigned or deleted, and subclasses get it from the
// start, so this runs only while __call__ is this class's own.
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwds) {
  Ref own_args = PyTuple_CheckExact(args) ? Ref::borrow(args) : Ref::steal(PySequence_Tuple(args));
  if (!own_args) return nullptr;
  Ref own_kwds = Ref::steal(kwds && PyDict_GET_SIZE(kwds) ? PyDict_Copy(kwds) : PyDict_New());
  if (!own_kwds) return nullptr;
  PyObject* const slots[] = {self, own_args.get(), own_kwds.get()};
  return m_call(*reinterpret_cast<pyrt::Func*>(own_call), slots).release();
}

}  // namespace

Ref make_remote_method(PyObject* module, PyObject* base) {
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!bases) return bases;
  const pyrt::Member members[] = {{"__init__", &d_init}, {"__call__", &d_call}};
  Ref cls = pyrt::make_class(module, "_RemoteMethod", bases.get(), members);
  if (!cls) return cls;
  if (!own_call) {
    own_call = pyrt::interp::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), pyrt::intern("__call__"));
    if (!own_call || !pyrt::is_function(own_call)) {
      PyErr_SetString(PyExc_SystemError, "_RemoteMethod.__call__ is not lumo's own function");
      return Ref();
    }
  }
  reinterpret_cast<PyTypeObject*>(cls.get())->tp_call = call_slot;
  return cls;
}

}  // namespace client
