// pyrt/channel.hpp: the channel's operations as lumo's own modules call them.
//
// lumo.ring exports its Connection's send, recv, flush, `closed` and
// `_onwebs` in a capsule. The server's and the client's call paths take them
// straight, without the attribute look-up and the binder, while three guards
// hold, the ones the interpreter's own specialised attribute reads check:
//  * the channel is exactly a lumo.ring.Connection (a subclass may override);
//  * the class still holds lumo's own entry under that name: checked once by a
//    look-up along the MRO, then remembered with the type's version tag, which
//    the interpreter changes whenever the class or a base is assigned to;
//  * for a method, the channel's own __dict__ does not shadow it.
// On any miss the operation runs the plain way, as `conn.<name>(...)` would.
#pragma once

#include "pyrt/pyrt.hpp"

namespace pyrt {

// What lumo.ring puts in its capsule. All objects live as long as the process.
struct ChannelApi {
  enum Entry { Send, Recv, Flush, Closed, Onwebs, Count };
  PyTypeObject* type;     // lumo.ring.Connection
  PyObject* own[Count];   // the class's own entries, as the class was made
  // Each takes a channel of exactly `type`.
  PyObject* (*send)(PyObject* conn, PyObject* obj);
  PyObject* (*recv)(PyObject* conn);
  PyObject* (*flush)(PyObject* conn);
  bool (*closed)(PyObject* conn);
  PyObject* (*onwebs)(PyObject* conn);  // borrowed
  PyObject* (*dict)(PyObject* conn);    // borrowed, null when the channel has none
  PyObject* (*send_tuple)(PyObject* conn, PyObject* const* items, Py_ssize_t n);
  // recv() into parts: 1 when split (see Received), 0 with the message in parts[0], -1.
  int (*recv_tuple)(PyObject* conn, Py_ssize_t n, unsigned empty_null, Ref* parts);
};
inline constexpr char kChannelCapsule[] = "lumo.ring._channel_api";

// A received message that a receiver expecting a tuple of N items may get as
// those items, without the tuple (`split`): on the channel's own receive, for
// a message in the compact encoding. An empty dict at a position whose bit is
// set in the receive's `empty_null` is then left null, not made.
template <Py_ssize_t N>
struct Received {
  Ref parts[N];
  Ref message;  // the message when it is not split, or once whole() made it
  bool split = false;

  // The message as one object, made from the parts on first use (with an
  // empty dict of its own for a null part): borrowed, null with an error set.
  PyObject* whole() {
    if (!message && split) {
      PyObject* items[N];
      for (Py_ssize_t i = 0; i < N; ++i) items[i] = parts[i].get();
      message = message_tuple(items, N);
    }
    return message.get();
  }
};

// A module's view of the channel operations, with its call sites' memory.
class Channel {
  const ChannelApi* api_ = nullptr;
  unsigned int versions_[ChannelApi::Count] = {};
  PyObject* names_[ChannelApi::Count] = {};

  bool own(PyObject* conn, ChannelApi::Entry e, bool method);

 public:
  // Imports the capsule of lumo.ring (at module exec).
  int load();
  Ref send(PyObject* conn, PyObject* obj);
  // conn.send(tuple(items[:n])): on the short cut the tuple is not built. A
  // null item stands for an empty dict (made only if the tuple is).
  Ref send_tuple(PyObject* conn, PyObject* const* items, Py_ssize_t n);
  Ref recv(PyObject* conn);
  // conn.recv() into `r`: 0, or -1 with an error set.
  template <Py_ssize_t N>
  int recv_tuple(PyObject* conn, Received<N>& r, unsigned empty_null) {
    const int split = recv_parts(conn, N, empty_null, r.parts, r.message);
    r.split = split > 0;
    return split < 0 ? -1 : 0;
  }
  int recv_parts(PyObject* conn, Py_ssize_t n, unsigned empty_null, Ref* parts, Ref& message);
  Ref flush(PyObject* conn);
  // The truth of conn.closed: 1, 0, or -1 with an error set. *ran_code (when
  // given) tells whether Python code may have run meanwhile: not on the short cut.
  int closed(PyObject* conn, bool* ran_code = nullptr);
  Ref onwebs(PyObject* conn);
};

}  // namespace pyrt
