// lumo.client: module initialisation.
//
// The namespace gets, in this order: socket, REQUEST, RESPONSE, Connection,
// get_port, Skrivo, iformat, _RemoteStatus, _RemoteMethod, _RemoteClass,
// ClientBase, Client and connect. Nothing else is bound.
#include "client/client.hpp"

namespace client {

Names names;
pyrt::Channel channel;

int init_names() {
  if (names.kw_exclude) return 0;
  using pyrt::intern;
  names._client = intern("_client");
  names._method = intern("_method");
  names._class = intern("_class");
  names._connection = intern("_connection");
  names._socket = intern("_socket");
  names._host = intern("_host");
  names._port = intern("_port");
  names._timeout = intern("_timeout");
  names._msgid = intern("_msgid");
  names.alias = intern("alias");
  names.log = intern("log");
  names.call = intern("call");
  names.close = intern("close");
  names.closed = intern("closed");
  names.flush = intern("flush");
  names.send = intern("send");
  names.recv = intern("recv");
  names.critical = intern("critical");
  names.error = intern("error");
  names.getsockname = intern("getsockname");
  names.getpeername = intern("getpeername");
  names.settimeout = intern("settimeout");
  names.connect = intern("connect");
  names.open_connection = intern("open_connection");
  names._request = intern("_request");
  names._parse = intern("_parse");
  names.__init__ = intern("__init__");
  names.socket = intern("socket");
  names.REQUEST = intern("REQUEST");
  names.RESPONSE = intern("RESPONSE");
  names.Connection = intern("Connection");
  names.get_port = intern("get_port");
  names.Skrivo = intern("Skrivo");
  names.iformat = intern("iformat");
  names._RemoteMethod = intern("_RemoteMethod");
  names._RemoteClass = intern("_RemoteClass");
  names.Client = intern("Client");
  names.empty = intern("");
  names.dot = intern(".");
  // Lives as long as the process, like the interned texts.
  names.kw_exclude = PyTuple_Pack(1, intern("exclude"));
  return names.kw_exclude ? 0 : -1;
}

namespace {

using pyrt::Ref;

int add(PyObject* module, const char* name, const Ref& value) {
  return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

int exec_client(PyObject* module) {
  if (pyrt::init_runtime() < 0 || init_names() < 0) return -1;

  // import socket
  PyObject* globals = PyModule_GetDict(module);
  Ref socket = Ref::steal(PyImport_ImportModuleLevelObject(names.socket, globals, nullptr, nullptr, 0));
  if (add(module, "socket", socket) < 0) return -1;

  // from .protocol / .ring / .kelto import ...
  static const char* const protocol_names[] = {"REQUEST", "RESPONSE"};
  static const char* const ring_names[] = {"Connection", "get_port"};
  static const char* const kelto_names[] = {"Skrivo", "iformat"};
  if (pyrt::import_from(module, "protocol", protocol_names) < 0) return -1;
  if (pyrt::import_from(module, "ring", ring_names) < 0 || channel.load() < 0) return -1;
  if (pyrt::import_from(module, "kelto", kelto_names) < 0) return -1;

  Ref status = make_remote_status(module);
  if (add(module, "_RemoteStatus", status) < 0) return -1;
  if (add(module, "_RemoteMethod", make_remote_method(module, status.get())) < 0) return -1;
  if (add(module, "_RemoteClass", make_remote_class(module, status.get())) < 0) return -1;
  Ref base = make_client_base(module);
  if (add(module, "ClientBase", base) < 0) return -1;
  if (add(module, "Client", make_client(module, base.get())) < 0) return -1;
  if (add(module, "connect", make_connect(module)) < 0) return -1;
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
