// lumo.client.connect: a logger, the port, a Client and its proxy for a name.
// Nothing is connected here; the first remote call opens the connection.
#include "client/client.hpp"

namespace client {
namespace {

using pyrt::Ref;

Ref f_connect(pyrt::Func& f, PyObject* const* a) {
  PyObject* name = a[0];
  PyObject* host = a[1];
  PyObject* port = a[2];
  PyObject* timeout = a[3];
  PyObject* types = a[4];

  // Skrivo(name, exclude=["lumo", "velkor", "druset"])
  Ref skrivo = pyrt::global(f, names.Skrivo);
  if (!skrivo) return skrivo;
  Ref exclude = Ref::steal(Py_BuildValue("[sss]", "lumo", "velkor", "druset"));
  if (!exclude) return exclude;
  PyObject* argv[] = {nullptr, name, exclude.get()};
  Ref log = Ref::steal(PyObject_Vectorcall(skrivo.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_exclude));
  if (!log) return log;

  Ref resolved = Ref::borrow(port);
  int given = PyObject_IsTrue(port);
  if (given < 0) return Ref();
  if (!given) {
    Ref get_port = pyrt::global(f, names.get_port);
    if (!get_port) return get_port;
    resolved = pyrt::call(get_port.get(), name);
    if (!resolved) return resolved;
    if (!PyLong_CheckExact(resolved.get()) && resolved.get() != Py_None) {
      PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(resolved.get())->tp_name);
      return Ref();
    }
  }

  Ref client_class = pyrt::global(f, names.Client);
  if (!client_class) return client_class;
  Ref client = pyrt::call(client_class.get(), host, resolved.get(), timeout);
  if (!client) return client;
  if (pyrt::setattr(client.get(), names.log, log.get()) < 0) return Ref();
  return pyrt::call(client.get(), name, types);
}

const pyrt::Param p_connect[] = {
    {"name", "str", pyrt::Check::Str},
    {"host", "str", pyrt::Check::Str, pyrt::dstr("127.0.0.1")},
    {"port", "int", pyrt::Check::Int, pyrt::dint(0)},
    {"timeout", "float", pyrt::Check::Float, pyrt::dfloat(1000.0)},
    {"types", "str", pyrt::Check::Str, pyrt::dstr("class")},
};
const pyrt::FuncDef d_connect{"connect", "connect", p_connect, f_connect};

}  // namespace

Ref make_connect(PyObject* module) { return pyrt::make_function(d_connect, module); }

}  // namespace client
