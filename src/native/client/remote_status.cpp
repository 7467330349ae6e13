// lumo.client._RemoteStatus: the printed form of every proxy and the addresses
// of its client's connection.
#include "client/client.hpp"

namespace client {
namespace {

Ref m_repr(Func&, PyObject* const*) {
  return Ref::borrow(names.t_repr);
}

// self._client._connection._socket.<which>()
Ref read_address(PyObject* self, PyObject* which) {
  Ref client = pyrt::getattr(self, names._client);
  if (!client) return client;
  Ref channel = pyrt::getattr(client.get(), names._connection);
  if (!channel) return channel;
  Ref sock = pyrt::getattr(channel.get(), names._socket);
  if (!sock) return sock;
  return pyrt::call_method(sock.get(), which);
}

// The same, or None when any attribute is missing.
Ref address(PyObject* self, PyObject* which) {
  Ref value = read_address(self, which);
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return pyrt::none();
  }
  return value;
}

Ref m_laddr(Func&, PyObject* const* a) { return address(a[0], names.getsockname); }
Ref m_raddr(Func&, PyObject* const* a) { return address(a[0], names.getpeername); }

const Param p_self[] = {{"self"}};
const pyrt::FuncDef d_repr{"__repr__", "_RemoteStatus.__repr__", p_self, m_repr, nullptr, "str"};
const pyrt::FuncDef d_laddr{"laddr", "_RemoteStatus.laddr", p_self, m_laddr};
const pyrt::FuncDef d_raddr{"raddr", "_RemoteStatus.raddr", p_self, m_raddr};

}  // namespace

Ref make_remote_status(PyObject* module) {
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!bases) return bases;
  const pyrt::Member members[] = {
      {"__repr__", &d_repr},
      {"laddr", &d_laddr, true},
      {"raddr", &d_raddr, true},
  };
  return pyrt::make_class(module, "_RemoteStatus", bases.get(), members);
}

}  // namespace client
