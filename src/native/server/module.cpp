// lumo.server: publishes one Python object (a function, a class or a module)
// under a name on a TCP port. Module initialisation.
#include "server/module.hpp"

namespace server {

Names names;
pyrt::Channel channel;

namespace {

// The names of the module, bound in this order and no others.
int exec_server(PyObject* module) {
  if (pyrt::init_runtime() < 0 || init_names() < 0) return -1;
  if (pyrt::add_object(module, "os", pyrt::import(names.os)) < 0) return -1;
  if (pyrt::add_object(module, "socketserver", pyrt::import(names.socketserver)) < 0) return -1;
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
  if (pyrt::add_object(module, "ServerBase", make_server_base(module)) < 0) return -1;
  if (pyrt::add_object(module, "RequestHandler", make_request_handler(module)) < 0) return -1;
  if (pyrt::add_object(module, "Server", make_server(module)) < 0) return -1;
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
