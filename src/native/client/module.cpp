// lumo.client: module initialisation.
//
// The namespace gets, in this order: socket, REQUEST, RESPONSE, Connection,
// get_port, Skrivo, iformat, _RemoteStatus, _RemoteMethod, _RemoteClass,
// ClientBase, Client and connect. Nothing else is bound.
#include "client/client.hpp"

namespace client {

Names names;
pyrt::Channel channel;

namespace {

int exec_client(PyObject* module) {
  if (pyrt::init_runtime() < 0 || init_names() < 0) return -1;

  if (pyrt::add_object(module, "socket", pyrt::import(names.socket)) < 0) return -1;
  const char* const protocol_names[] = {"REQUEST", "RESPONSE"};
  if (pyrt::import_from(module, "protocol", protocol_names) < 0) return -1;
  const char* const ring_names[] = {"Connection", "get_port"};
  if (pyrt::import_from(module, "ring", ring_names) < 0 || channel.load() < 0) return -1;
  const char* const kelto_names[] = {"Skrivo", "iformat"};
  if (pyrt::import_from(module, "kelto", kelto_names) < 0) return -1;

  Ref status = make_remote_status(module);
  if (pyrt::add_object(module, "_RemoteStatus", status) < 0) return -1;
  if (pyrt::add_object(module, "_RemoteMethod", make_remote_method(module, status.get())) < 0) return -1;
  if (pyrt::add_object(module, "_RemoteClass", make_remote_class(module, status.get())) < 0) return -1;
  Ref base = make_client_base(module);
  if (pyrt::add_object(module, "ClientBase", base) < 0) return -1;
  if (pyrt::add_object(module, "Client", make_client(module, base.get())) < 0) return -1;
  if (pyrt::add_object(module, "connect", make_connect(module)) < 0) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_client)},
    {0, nullptr},
};

// No module docstring: the namespace holds the names above and the standard ones only.
PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "lumo.client", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace client

PyMODINIT_FUNC PyInit_client() { return PyModuleDef_Init(&client::def); }
