// lumo.client: the pieces that the files of the module share.
#pragma once

#include "pyrt/pyrt.hpp"
#include "pyrt/channel.hpp"
#include "pyrt/common.hpp"
#include "pyrt/names.hpp"

#include <initializer_list>

namespace client {

using pyrt::Check;
using pyrt::Func;
using pyrt::Param;
using pyrt::Ref;

// field, text: the names (module globals read at each use among them), then
// the constant texts of log lines and error messages
#define LUMO_CLIENT_TEXTS(X)                                        \
  X(_client, "_client")                                             \
  X(_method, "_method")                                             \
  X(_class, "_class")                                               \
  X(_connection, "_connection")                                     \
  X(_socket, "_socket")                                             \
  X(_host, "_host")                                                 \
  X(_port, "_port")                                                 \
  X(_timeout, "_timeout")                                           \
  X(_msgid, "_msgid")                                               \
  X(alias, "alias")                                                 \
  X(log, "log")                                                     \
  X(call, "call")                                                   \
  X(close, "close")                                                 \
  X(critical, "critical")                                           \
  X(error, "error")                                                 \
  X(getsockname, "getsockname")                                     \
  X(getpeername, "getpeername")                                     \
  X(settimeout, "settimeout")                                       \
  X(connect, "connect")                                             \
  X(open_connection, "open_connection")                             \
  X(_request, "_request")                                           \
  X(_parse, "_parse")                                               \
  X(dunder_init, "__init__")                                        \
  X(dunder_call, "__call__")                                        \
  X(dunder_getattr, "__getattr__")                                  \
  X(server_hostname, "server_hostname")                             \
  X(socket, "socket")                                               \
  X(REQUEST, "REQUEST")                                             \
  X(RESPONSE, "RESPONSE")                                           \
  X(Connection, "Connection")                                       \
  X(iformat, "iformat")                                             \
  X(_RemoteMethod, "_RemoteMethod")                                 \
  X(_RemoteClass, "_RemoteClass")                                   \
  X(Client, "Client")                                               \
  X(t_send, "@SEND: ")                                              \
  X(t_resend, "@RESEND: ")                                          \
  X(t_recv, "@RECV: ")                                              \
  X(t_failure, "Failure")                                           \
  X(t_fail_head, "Connection failed (")                             \
  X(t_fail_host,                                                    \
    "), please check: \n"                                           \
    "                        1. the network is connected\n"         \
    "                        2. the server info(host(")             \
  X(t_fail_port, ") or port(")                                      \
  X(t_fail_alias,                                                   \
    ")) is correct \n"                                              \
    "                        3. the server(")                       \
  X(t_fail_tail, ") has been started!")                             \
  X(t_response_open, "Response[")                                   \
  X(t_closed_head, "Connection to (")                               \
  X(t_comma, ", ")                                                  \
  X(t_closed_tail, ") closed!")                                     \
  X(t_repr, "LUMO.Client")                                          \
  X(dot, ".")                                                       \
  X(blank, " ")

// field, value
#define LUMO_CLIENT_INTS(X) \
  X(zero, 0)              \
  X(one, 1)

#define LUMO_CLIENT_KEYWORDS(X)

struct Names {
  PYRT_NAMES(LUMO_CLIENT_TEXTS, LUMO_CLIENT_INTS, LUMO_CLIENT_KEYWORDS)
};
extern Names names;

// The channel's operations, straight while the channel is a plain Connection.
extern pyrt::Channel channel;

// Makes the names (idempotent); called by the module's exec step.
inline int init_names() { return names.make() < 0 || pyrt::init_common() < 0 ? -1 : 0; }

// Client.call with its arguments bound: `self` a Client, `method` a str,
// `args` a tuple and `kwds` a dict of the caller's own, handed on as they are
// (or null for a call without keywords: a dict is made only if one is needed).
// `fn` is the function that `call` names on the client; when it is not
// Client.call itself (a subclass overrides it), nothing is called and
// `*called` stays false.
Ref call_bound(PyObject* fn, PyObject* self, PyObject* method, PyObject* args, PyObject* kwds, bool* called);

// Is the current error an instance of one of `classes`?
inline bool error_in(std::initializer_list<PyObject*> classes) {
  for (PyObject* c : classes)
    if (PyErr_ExceptionMatches(c)) return true;
  return false;
}

using pyrt::Handling;
using namespace pyrt::common;

// The classes and the function of the module, in the order the module makes them.
Ref make_remote_status(PyObject* module);
Ref make_remote_method(PyObject* module, PyObject* base);
// cls(client, name), straight while cls is this module's unchanged _RemoteMethod.
Ref new_remote_method(PyObject* cls, PyObject* client, PyObject* name);
Ref make_remote_class(PyObject* module, PyObject* base);
Ref make_client_base(PyObject* module);
// parse(response): while `parse` is the client's own _parse, a response
// received as its parts is read without making the tuple.
Ref parse_response(const pyrt::Method& parse, pyrt::Received<3>& response);
Ref make_client(PyObject* module, PyObject* base);
Ref make_connect(PyObject* module);

}  // namespace client
