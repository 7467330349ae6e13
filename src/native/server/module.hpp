// lumo.server: what the files of the module share.
//
// Every module-level name (Connection, REQUEST, Skrivo, terminate, ...) is read
// from the module's namespace at each use through pyrt::global, so that
// rebinding it in the module changes what the next call uses. The names
// themselves are interned once, when the module is executed.
#pragma once

#include "pyrt/pyrt.hpp"
#include "pyrt/channel.hpp"
#include "pyrt/common.hpp"
#include "pyrt/names.hpp"

namespace server {

using pyrt::Check;
using pyrt::Func;
using pyrt::Param;
using pyrt::Ref;

// field, text: the names, then the constant texts of log lines and error messages
#define LUMO_SERVER_TEXTS(X)                              \
  X(BaseRequestHandler, "BaseRequestHandler")             \
  X(BrokenPipeError, "BrokenPipeError")                   \
  X(Connection, "Connection")                             \
  X(ConnectionAbortedError, "ConnectionAbortedError")     \
  X(ConnectionResetError, "ConnectionResetError")         \
  X(KeyboardInterrupt, "KeyboardInterrupt")               \
  X(MethodType, "MethodType")                             \
  X(NoSuchProcess, "NoSuchProcess")                       \
  X(Process, "Process")                                   \
  X(REQUEST, "REQUEST")                                   \
  X(RESPONSE, "RESPONSE")                                 \
  X(RequestHandler, "RequestHandler")                     \
  X(Server, "Server")                                     \
  X(ServerBase, "ServerBase")                             \
  X(Thread, "Thread")                                     \
  X(ThreadingTCPServer, "ThreadingTCPServer")             \
  X(dunder_init, "__init__")                              \
  X(_alias, "_alias")                                     \
  X(_closed, "_closed")                                   \
  X(_connection, "_connection")                           \
  X(_parse, "_parse")                                     \
  X(_server, "_server")                                   \
  X(_timeout, "_timeout")                                 \
  X(alias, "alias")                                       \
  X(allow_reuse_address, "allow_reuse_address")           \
  X(args, "args")                                         \
  X(children, "children")                                 \
  X(client, "client")                                     \
  X(client_address, "client_address")                     \
  X(count, "count")                                       \
  X(critical, "critical")                                 \
  X(daemon, "daemon")                                     \
  X(daemon_threads, "daemon_threads")                     \
  X(error, "error")                                       \
  X(get, "get")                                           \
  X(getpid, "getpid")                                     \
  X(getppid, "getppid")                                   \
  X(host, "host")                                         \
  X(iformat, "iformat")                                   \
  X(info, "info")                                         \
  X(iprint, "iprint")                                     \
  X(kill, "kill")                                         \
  X(log, "log")                                           \
  X(name, "name")                                         \
  X(obj, "obj")                                           \
  X(os, "os")                                             \
  X(ping, "ping")                                         \
  X(pop, "pop")                                           \
  X(port, "port")                                         \
  X(print, "print")                                       \
  X(process, "process")                                   \
  X(psutil, "psutil")                                     \
  X(record, "record")                                     \
  X(recursive, "recursive")                               \
  X(register_, "register")                                \
  X(request, "request")                                   \
  X(request_queue_size, "request_queue_size")             \
  X(serve_forever, "serve_forever")                       \
  X(server, "server")                                     \
  X(server_address, "server_address")                     \
  X(server_close, "server_close")                         \
  X(sleep, "sleep")                                       \
  X(socketserver, "socketserver")                         \
  X(split, "split")                                       \
  X(start, "start")                                       \
  X(stats, "stats")                                       \
  X(statistics, "statistics")                             \
  X(target, "target")                                     \
  X(terminate, "terminate")                               \
  X(threading, "threading")                               \
  X(time, "time")                                         \
  X(wait_procs, "wait_procs")                             \
  X(warning, "warning")                                   \
  X(t_wait, "Wait for cleaning ...")                    \
  X(t_no_such_process, "No such process")               \
  X(t_stopping, "Stopping ")                            \
  X(t_at, " at ")                                       \
  X(t_bangs, "!!!")                                     \
  X(t_serving_at, " is serving at ")                    \
  X(t_colon, ":")                                       \
  X(t_client_, "Client ")                               \
  X(t_connected, " connected")                          \
  X(t_client, "Client")                                 \
  X(t_disconnected, " disconnected!")                   \
  X(t_registered, " has already been registered")       \
  X(t_request_open, "Request[")                         \
  X(t_invalid_protocol, "]: Invalid Protocol")          \
  X(t_quote, "\"")                                      \
  X(t_no_attribute, "\" has no attribute \"")           \
  X(dot, ".")                                           \
  X(blank, " ")                                         \
  X(empty, "")

// field, value
#define LUMO_SERVER_INTS(X) \
  X(zero, 0)                \
  X(one, 1)

// field, the fields of the names: the keyword names of a vectorcall
#define LUMO_SERVER_KEYWORDS(X)       \
  X(kw_recursive, recursive)          \
  X(kw_obj_alias, obj, alias)         \
  X(kw_thread, target, daemon, args)

struct Names {
  PYRT_NAMES(LUMO_SERVER_TEXTS, LUMO_SERVER_INTS, LUMO_SERVER_KEYWORDS)
};
extern Names names;

// The channel's operations, straight while the channel is a plain Connection.
extern pyrt::Channel channel;

// Makes the names; called once by the module's exec step.
inline int init_names() { return names.make() < 0 || pyrt::init_common() < 0 ? -1 : 0; }

// The classes and functions of the module, each made in its own file. The
// class makers return the class; the caller binds it in the module.
// A request as the handler received it: the five items of a request in the
// compact encoding straight from the channel (an empty keyword dict left
// null), or the whole message.
using Request = pyrt::Received<5>;
inline constexpr unsigned kKeywordsMayBeNull = 1u << 4;

Ref make_server_base(PyObject* module);
// parse(request) unpacked into (msgid, function, args, kwds): 0, or -1 with an
// error set. While `parse` is the server's own _parse no tuple is made.
// The keywords part may be null (no keywords, no dict made) for a split request.
int parse_request(const pyrt::Method& parse, Request& request, Ref (&parts)[4]);
Ref make_request_handler(PyObject* module);
Ref make_server(PyObject* module);
extern const pyrt::FuncDef def_terminate;
extern const pyrt::FuncDef def_start;
extern const pyrt::FuncDef def_serve;

// ---------------------------------------------------------------- helpers

using pyrt::Handling;
using namespace pyrt::common;

// seq[i] for i >= 0, as the subscript operator does it.
inline Ref item(PyObject* seq, Py_ssize_t i) {
  if (PyTuple_CheckExact(seq)) {
    if (i < PyTuple_GET_SIZE(seq)) return Ref::borrow(PyTuple_GET_ITEM(seq, i));
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return Ref();
  }
  if (PyList_CheckExact(seq)) {
    if (i < PyList_GET_SIZE(seq)) return Ref::borrow(PyList_GET_ITEM(seq, i));
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return Ref();
  }
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return index;
  return Ref::steal(PyObject_GetItem(seq, index.get()));
}


// Item i (not the keywords) of a request.
inline Ref item(Request& r, Py_ssize_t i) { return r.split ? r.parts[i].copy() : item(r.message.get(), i); }

// mapping[key] = value
inline int set_item(PyObject* mapping, PyObject* key, PyObject* value) {
  return PyDict_CheckExact(mapping) ? PyDict_SetItem(mapping, key, value) : PyObject_SetItem(mapping, key, value);
}

// mapping[key] = value, where the value is mostly the one already there: an
// exact dict that holds this very value under the key is left as it is
// (nothing a program can see would change).
inline int refresh_item(PyObject* mapping, PyObject* key, PyObject* value) {
  if (!PyDict_CheckExact(mapping)) return PyObject_SetItem(mapping, key, value);
  PyObject* held = PyDict_GetItemWithError(mapping, key);
  if (held == value) return 0;
  return PyErr_Occurred() ? -1 : PyDict_SetItem(mapping, key, value);
}

// mapping[key]; an exact dict with a text key is read in place.
inline Ref get_item(PyObject* mapping, PyObject* key) {
  if (!PyDict_CheckExact(mapping) || !PyUnicode_CheckExact(key)) return Ref::steal(PyObject_GetItem(mapping, key));
  PyObject* v = PyDict_GetItemWithError(mapping, key);
  if (!v && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::borrow(v);
}

// key in container
inline int contains(PyObject* container, PyObject* key) {
  return PyDict_CheckExact(container) ? PyDict_Contains(container, key) : PySequence_Contains(container, key);
}

}  // namespace server
