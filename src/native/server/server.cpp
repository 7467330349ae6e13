// lumo.server.Server: the standard library's threaded TCP server joined with
// the registry of the published object.
#include "server/module.hpp"

#include <sys/socket.h>

namespace server {
namespace {

// __init__(self, server_address: "tuple[str, int]", RequestHandlerClass,
//          bind_and_activate: "bool" = True, obj: "Any" = "Object", alias: "str" = "Server")
Ref m_init(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  // All three before the socket is bound, so that the binding step sees them.
  if (pyrt::setattr(self, names.daemon_threads, Py_True) < 0) return Ref();
  if (pyrt::setattr(self, names.allow_reuse_address, Py_True) < 0) return Ref();
  // The deepest listen queue the system offers (socket.SOMAXCONN): a burst of clients
  // connecting at once waits in it for the accept loop, instead of losing its SYNs to a
  // full queue and retrying a second or more later.
  Ref backlog = Ref::steal(PyLong_FromLong(SOMAXCONN));
  if (!backlog || pyrt::setattr(self, names.request_queue_size, backlog.get()) < 0) return Ref();

  Ref tcp_init = pyrt::super_attr(f, self, names.dunder_init);
  if (!tcp_init) return tcp_init;
  Ref r = pyrt::call(tcp_init.get(), a[1], a[2], a[3]);
  if (!r) return r;

  Ref base = pyrt::global(f, names.ServerBase);
  if (!base) return base;
  Ref base_init = pyrt::getattr(base.get(), names.dunder_init);
  if (!base_init) return base_init;
  r = pyrt::call(base_init.get(), self, a[4], a[5]);
  if (!r) return r;
  return pyrt::none();
}

const Param p_init[] = {
    {"self"},
    {"server_address", "tuple[str, int]", Check::Tuple},
    {"RequestHandlerClass"},
    {"bind_and_activate", "bool", Check::None, pyrt::dbool(true)},
    {"obj", "Any", Check::None, pyrt::dstr("Object")},
    {"alias", "str", Check::Str, pyrt::dstr("Server")},
};

const pyrt::FuncDef d_init{"__init__", "Server.__init__", p_init, m_init};

}  // namespace

Ref make_server(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  Ref socketserver = pyrt::global_in(globals, names.socketserver);
  if (!socketserver) return socketserver;
  Ref tcp = pyrt::getattr(socketserver.get(), names.ThreadingTCPServer);
  if (!tcp) return tcp;
  Ref base = pyrt::global_in(globals, names.ServerBase);
  if (!base) return base;
  Ref bases = Ref::steal(PyTuple_Pack(2, tcp.get(), base.get()));
  if (!bases) return bases;
  const pyrt::Member members[] = {{"__init__", &d_init}};
  return pyrt::make_class(module, "Server", bases.get(), members);
}

}  // namespace server
