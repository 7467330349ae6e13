// The guarded short cuts to the channel's operations (pyrt/channel.hpp).
#include "pyrt/channel.hpp"
#include "pyrt/interp.hpp"

namespace pyrt {

int Channel::load() {
  api_ = static_cast<const ChannelApi*>(PyCapsule_Import(kChannelCapsule, 0));
  if (!api_) return -1;
  const char* const names[ChannelApi::Count] = {"send", "recv", "flush", "closed", "_onwebs"};
  for (int i = 0; i < ChannelApi::Count; ++i) {
    names_[i] = intern(names[i]);
    versions_[i] = 0;
  }
  return 0;
}

bool Channel::own(PyObject* conn, ChannelApi::Entry e, bool method) {
  PyTypeObject* type = Py_TYPE(conn);
  if (!api_ || type != api_->type) return false;
  const unsigned int version = interp::type_version(type);
  if (!version || version != versions_[e]) {
    Ref found = Ref::steal(interp::type_lookup(type, names_[e]));
    if (found.get() != api_->own[e]) return false;
    versions_[e] = version;  // 0 (no tag to remember): looked up again next time
  }
  if (!method) return true;
  PyObject* dict = api_->dict(conn);
  if (!dict || !PyDict_GET_SIZE(dict)) return true;
  // The name is an interned text: the look-up cannot fail.
  return !PyDict_GetItemWithError(dict, names_[e]);
}

Ref Channel::send(PyObject* conn, PyObject* obj) {
  if (own(conn, ChannelApi::Send, true)) return Ref::steal(api_->send(conn, obj));
  return call_method(conn, names_[ChannelApi::Send], obj);
}

Ref Channel::send_tuple(PyObject* conn, PyObject* const* items, Py_ssize_t n) {
  if (own(conn, ChannelApi::Send, true)) return Ref::steal(api_->send_tuple(conn, items, n));
  Ref tuple = message_tuple(items, n);
  if (!tuple) return tuple;
  return call_method(conn, names_[ChannelApi::Send], tuple.get());
}

Ref Channel::recv(PyObject* conn) {
  if (own(conn, ChannelApi::Recv, true)) return Ref::steal(api_->recv(conn));
  return call_method(conn, names_[ChannelApi::Recv]);
}

int Channel::recv_parts(PyObject* conn, Py_ssize_t n, unsigned empty_null, Ref* parts, Ref& message) {
  if (!own(conn, ChannelApi::Recv, true)) {
    message = recv(conn);
    return message ? 0 : -1;
  }
  const int split = api_->recv_tuple(conn, n, empty_null, parts);
  if (split == 0) message = std::move(parts[0]);
  return split;
}

Ref Channel::flush(PyObject* conn) {
  if (own(conn, ChannelApi::Flush, true)) return Ref::steal(api_->flush(conn));
  return call_method(conn, names_[ChannelApi::Flush]);
}

int Channel::closed(PyObject* conn, bool* ran_code) {
  const bool short_cut = own(conn, ChannelApi::Closed, false);
  if (ran_code) *ran_code = !short_cut;
  if (short_cut) return api_->closed(conn);
  Ref value = getattr(conn, names_[ChannelApi::Closed]);
  return value ? PyObject_IsTrue(value.get()) : -1;
}

Ref Channel::onwebs(PyObject* conn) {
  if (own(conn, ChannelApi::Onwebs, false)) return Ref::borrow(api_->onwebs(conn));
  return getattr(conn, names_[ChannelApi::Onwebs]);
}

}  // namespace pyrt
