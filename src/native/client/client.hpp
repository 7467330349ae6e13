// lumo.client: the pieces that the files of the module share.
#pragma once

#include "pyrt/pyrt.hpp"
#include "pyrt/channel.hpp"

#include <initializer_list>

namespace client {

// Interned names, made once when the module is executed.
struct Names {
  PyObject* _client;
  PyObject* _method;
  PyObject* _class;
  PyObject* _connection;
  PyObject* _socket;
  PyObject* _host;
  PyObject* _port;
  PyObject* _timeout;
  PyObject* _msgid;
  PyObject* alias;
  PyObject* log;
  PyObject* call;
  PyObject* close;
  PyObject* closed;
  PyObject* flush;
  PyObject* send;
  PyObject* recv;
  PyObject* critical;
  PyObject* error;
  PyObject* getsockname;
  PyObject* getpeername;
  PyObject* settimeout;
  PyObject* connect;
  PyObject* open_connection;
  PyObject* _request;
  PyObject* _parse;
  PyObject* __init__;
  // module globals, read at each use
  PyObject* socket;
  PyObject* REQUEST;
  PyObject* RESPONSE;
  PyObject* Connection;
  PyObject* get_port;
  PyObject* Skrivo;
  PyObject* iformat;
  PyObject* _RemoteMethod;
  PyObject* _RemoteClass;
  PyObject* Client;
  // constant texts
  PyObject* empty;
  PyObject* dot;
  PyObject* kw_exclude;  // ("exclude",): the keyword names of the Skrivo call
};
extern Names names;

// The channel's operations, straight while the channel is a plain Connection.
extern pyrt::Channel channel;

// Makes the names above (idempotent).
int init_names();

// Client.call with its arguments bound: `self` a Client, `method` a str,
// `args` a tuple and `kwds` a dict of the caller's own, handed on as they are.
// `fn` is the function that `call` names on the client; when it is not
// Client.call itself (a subclass overrides it), nothing is called and
// `*called` stays false.
pyrt::Ref call_bound(PyObject* fn, PyObject* self, PyObject* method, PyObject* args, PyObject* kwds, bool* called);

// Is the current error an instance of one of `classes`?
inline bool error_in(std::initializer_list<PyObject*> classes) {
  for (PyObject* c : classes)
    if (PyErr_ExceptionMatches(c)) return true;
  return false;
}

// `a != b` in a truth test, as the interpreter evaluates it (no identity shortcut).
inline int not_equal(PyObject* a, PyObject* b) {
  pyrt::Ref r = pyrt::Ref::steal(PyObject_RichCompare(a, b, Py_NE));
  if (!r) return -1;
  if (r.get() == Py_False) return 0;
  if (r.get() == Py_True) return 1;
  return PyObject_IsTrue(r.get());
}

// type(value).__name__
inline pyrt::Ref type_name(PyObject* value) {
  return pyrt::Ref::steal(PyType_GetName(Py_TYPE(value)));
}

// Makes the error being handled (`handled`) the __context__ of the error that
// its handling raised, as an exception raised in an except block gets it.
inline void chain_context(pyrt::SavedError& handled) {
  if (!handled.type() || !PyErr_Occurred()) return;
  pyrt::SavedError raised;
  pyrt::Ref context = handled.take_value();
  if (raised.value() && context && raised.value() != context.get())
    PyException_SetContext(raised.value(), context.release());
  raised.restore();
}

// Raises Exception(text).
inline pyrt::Ref raise_exception(const pyrt::Ref& text) {
  if (text) PyErr_SetObject(PyExc_Exception, text.get());
  return pyrt::Ref();
}

// The classes and the function of the module, in the order the module makes them.
pyrt::Ref make_remote_status(PyObject* module);
pyrt::Ref make_remote_method(PyObject* module, PyObject* base);
// cls(client, name), straight while cls is this module's unchanged _RemoteMethod.
pyrt::Ref new_remote_method(PyObject* cls, PyObject* client, PyObject* name);
pyrt::Ref make_remote_class(PyObject* module, PyObject* base);
pyrt::Ref make_client_base(PyObject* module);
pyrt::Ref make_client(PyObject* module, PyObject* base);
pyrt::Ref make_connect(PyObject* module);

}  // namespace client
