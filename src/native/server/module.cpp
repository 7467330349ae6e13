// lumo.server: publishes one Python object (a function, a class or a module)
// under a name on a TCP port. Module initialisation and the shared helpers.
#include "server/module.hpp"

namespace server {

Names names;
pyrt::Channel channel;

int init_names() {
  if (names.recv) return 0;
#define LUMO_SERVER_INTERN(field, s) names.field = pyrt::intern(s);
  LUMO_SERVER_NAMES(LUMO_SERVER_INTERN)
  LUMO_SERVER_TEXTS(LUMO_SERVER_INTERN)
#undef LUMO_SERVER_INTERN
  names.dot = pyrt::intern(".");
  names.blank = pyrt::intern(" ");
  names.empty = pyrt::intern("");
  names.zero = PyLong_FromLong(0);
  names.one = PyLong_FromLong(1);
  names.kw_recursive = PyTuple_Pack(1, names.recursive);
  names.kw_exclude = PyTuple_Pack(1, names.exclude);
  names.kw_obj_alias = PyTuple_Pack(2, names.obj, names.alias);
  names.kw_thread = PyTuple_Pack(3, names.target, names.daemon, names.args);
  if (!names.zero || !names.one || !names.kw_recursive || !names.kw_exclude || !names.kw_obj_alias ||
      !names.kw_thread)
    return -1;
  return 0;
}

int unpack(PyObject* value, Py_ssize_t n, Ref* out) {
  if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    if (size == n) {
      PyObject** items = PySequence_Fast_ITEMS(value);
      for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
      return 0;
    }
    if (size < n)
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, size);
    else
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return -1;
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

namespace {

int add(PyObject* module, const char* name, Ref value) {
  if (!value) return -1;
  return PyModule_AddObjectRef(module, name, value.get());
}

// The names of the module, bound in this order and no others.
int exec_server(PyObject* module) {
  if (pyrt::init_runtime() < 0 || init_names() < 0) return -1;
  if (add(module, "os", Ref::steal(PyImport_Import(names.os))) < 0) return -1;
  if (add(module, "socketserver", Ref::steal(PyImport_Import(names.socketserver))) < 0) return -1;
  const char* const types_names[] = {"MethodType"};
  if (pyrt::import_from(module, "types", types_names, 0) < 0) return -1;
  const char* const typing_names[] = {"Any"};
  if (pyrt::import_from(module, "typing", typing_names, 0) < 0) return -1;
  const char* const protocol_names[] = {"REQUEST", "RESPONSE"};
  if (pyrt::import_from(module, "protocol", protocol_names) < 0) return -1;
  const char* const ring_names[] = {"Connection", "get_port"};
  if (pyrt::import_from(module, "ring", ring_names) < 0 || channel.load() < 0) return -1;
  const char* const kelto_names[] = {"Skrivo", "iformat", "iprint"};
  if (pyrt::import_from(module, "kelto", kelto_names) < 0) return -1;
  if (add(module, "ServerBase", make_server_base(module)) < 0) return -1;
  if (add(module, "RequestHandler", make_request_handler(module)) < 0) return -1;
  if (add(module, "Server", make_server(module)) < 0) return -1;
  if (pyrt::add_function(module, def_terminate) < 0) return -1;
  if (pyrt::add_function(module, def_start) < 0) return -1;
  if (pyrt::add_function(module, def_serve) < 0) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_server)},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "lumo.server", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace server

PyMODINIT_FUNC PyInit_server() { return PyModuleDef_Init(&server::def); }
