// lumo.client.connect: a logger, the port, a Client and its proxy for a name.
// Nothing is connected here; the first remote call opens the connection.
#include "client/client.hpp"

namespace client {
namespace {

Ref f_connect(Func& f, PyObject* const* a) {
  PyObject* name = a[0];
  PyObject* host = a[1];
  PyObject* port = a[2];
  PyObject* timeout = a[3];
  PyObject* types = a[4];

  Ref log = pyrt::make_logger(f, name);
  if (!log) return log;
  Ref resolved = pyrt::resolve_port(f, port, name);
  if (!resolved) return resolved;

  Ref client_class = pyrt::global(f, names.Client);
  if (!client_class) return client_class;
  Ref client = pyrt::call(client_class.get(), host, resolved.get(), timeout);
  if (!client) return client;
  if (pyrt::setattr(client.get(), names.log, log.get()) < 0) return Ref();
  return pyrt::call(client.get(), name, types);
}

const Param p_connect[] = {
    {"name", "str", Check::Str},
    {"host", "str", Check::Str, pyrt::dstr("127.0.0.1")},
    {"port", "int", Check::Int, pyrt::dint(0)},
    {"timeout", "float", Check::Float, pyrt::dfloat(1000.0)},
    {"types", "str", Check::Str, pyrt::dstr("class")},
};
const pyrt::FuncDef d_connect{"connect", "connect", p_connect, f_connect};

}  // namespace

Ref make_connect(PyObject* module) { return pyrt::make_function(d_connect, module); }

}  // namespace client
