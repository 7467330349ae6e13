// lumo.ring.Connection: whole Python objects over one connected socket.
//
// send() encodes the whole message into a frame (frame.cpp) before it writes a
// byte, then writes it with one gathered write; recv() reads the header and
// buffer table, the stream and the out-of-band buffers (oob.cpp), then decodes.
// The socket under it, with its waits and time-outs, is socket_io.cpp's.
#include "ring/connection.hpp"
#include "pyrt/channel.hpp"
#include "ring/auth.hpp"
#include "ring/frame.hpp"
#include "ring/oob.hpp"
#include "ring/socket_io.hpp"
#include "pyrt/interp.hpp"

#include <sys/socket.h>
#include <structmember.h>

#include <cstdlib>

namespace ring {

Shared shared;

namespace {

using pyrt::Ref;

constexpr size_t kInlineStream = 1024 * 1024;  // larger streams get a buffer of their own

struct Conn {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakrefs;
  Socket io;           // the socket (_socket), the state of its descriptor, the channel's trust
  PyObject* onwebs;    // _onwebs
  FrameEncoder enc;    // the pickler and compact buffer of the messages sent
  unsigned long long max_frame;
  bool closed;
  bool sending;
  bool receiving;
  unsigned long send_thread;  // the threads of the calls in flight
  unsigned long recv_thread;
  ReadAhead in;
};

Conn* as_conn(PyObject* o) {
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(shared.connection_type))) {
    PyErr_Format(PyExc_TypeError, "expected a Connection, got %.200s", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<Conn*>(o);
}

// ------------------------------------------------------------- closing

// A call in flight (recv() or send()) uses the descriptor across GIL releases, so a channel
// closed meanwhile keeps its socket open until the last such call has left: a descriptor
// number closed under a waiting thread could be reused by a new socket, which that thread
// would then read or write. A call in flight on another thread is woken by shutting the
// socket down (its wait ends as at the end of the stream), and finds the channel closing.
// `wake_all`: shut down even when the only call in flight is this thread's own (close() from a
// signal handler that runs while it waits).
void release_socket(Conn* c, bool wake_all) {
  if (!c->receiving && !c->sending) {
    close_socket(c->io);
    return;
  }
  c->io.closing = true;
  const unsigned long me = PyThread_get_thread_ident();
  if (wake_all || (c->receiving && c->recv_thread != me) || (c->sending && c->send_thread != me)) {
    const int fd = current_fd(c->io);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
}

// Marks the channel closed and closes its socket (or has it closed, see release_socket),
// keeping any pending error.
void shut(Conn* c) {
  c->closed = true;
  if (!c->receiving || c->recv_thread == PyThread_get_thread_ident()) c->in.drop();
  release_socket(c, false);
}

// Raises `type(text)` and closes the channel.
Ref fail(Conn* c, PyObject* type, const char* text) {
  PyErr_SetString(type, text);
  shut(c);
  return Ref();
}

int raise_closed() {
  PyErr_SetString(PyExc_ConnectionAbortedError, "the connection is closed");
  return -1;
}

// A recv() or send() in flight: its flag and thread, and on the way out, the socket of a
// channel closed meanwhile closes once no other call is in flight.
struct InFlight {
  Conn* c;
  bool& flag;
  InFlight(Conn* conn, bool& f, unsigned long& thread) : c(conn), flag(f) {
    flag = true;
    thread = PyThread_get_thread_ident();
  }
  ~InFlight() {
    flag = false;
    if (c->io.closing && !c->receiving && !c->sending) {
      c->io.closing = false;
      c->in.drop();
      close_socket(c->io);
    }
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
};

// ------------------------------------------------------------- the descriptor

// The descriptor of the socket, checked at each operation: a socket closed
// behind the channel's back reads as a closed channel, never as a stale number.
int channel_fd(Conn* c) {
  if (c->closed) return raise_closed();
  const int fd = live_fd(c->io);
  if (fd != kSocketClosed) return fd;
  c->closed = true;
  return raise_closed();
}

// A channel with a key or TLS proves its peer before its first message. Its
// first operation tells which end it is: a receive the server's, a send or a
// flush the client's. A handshake that failed fails every later operation.
int secured_fd(Conn* c, Role role) {
  Secure& sec = *c->io.sec;
  if (sec.failure) return secure_raise_failure(sec);
  const int fd = channel_fd(c);
  if (fd < 0 || sec.ready) return fd;
  // The client names the host it connected to in the channel's
  // `server_hostname`; TLS checks the certificate against that name, and
  // against the peer's address when no name was given.
  PyObject* name = c->dict ? PyDict_GetItemWithError(c->dict, pyrt::intern("server_hostname")) : nullptr;
  if (!name && PyErr_Occurred()) return -1;
  if (secure_begin(sec, fd, role, c->io.obj, name, c->io.timeout) < 0) {
    shut(c);
    return -1;
  }
  return fd;
}

// The descriptor for an operation of the end `role`, or -1 with an error set.
int ready_fd(Conn* c, Role role) { return c->io.sec ? secured_fd(c, role) : channel_fd(c); }

// ------------------------------------------------------------- receiving

struct Malloced {
  char* p = nullptr;
  ~Malloced() { std::free(p); }
};

// The header and buffer table of the next frame, checked and taken from the read-ahead buffer.
int recv_head(Conn* c, int fd, FrameHead& head, FrameTable& table) {
  if (ensure(c->io, c->in, fd, kHeader, false) < 0) return -1;
  const unsigned char* h = c->in.data();
  // A handshake message or TLS where a frame belongs: the error says what the peer expects.
  if ((h[0] != kMagic0 || h[1] != kMagic1) && foreign_header(c->io.sec, fd, c->io.obj, h)) return -1;
  if (check_head(h, head) < 0) return -1;
  const size_t table_end = kHeader + 8ull * head.nbuf;
  if (ensure(c->io, c->in, fd, table_end, true) < 0) return -1;
  if (check_table(c->in.data() + kHeader, head, c->max_frame, table) < 0) return -1;
  c->in.head += table_end;
  return 0;
}

// The pickle stream (or compact payload) of `plen` bytes: in the read-ahead
// buffer when it is small, in `big` when not. Null with an error set.
const char* recv_stream(Conn* c, int fd, size_t plen, Malloced& big) {
  if (plen <= kInlineStream) {
    if (ensure(c->io, c->in, fd, plen, true) < 0) return nullptr;
    const char* stream = c->in.buf + c->in.head;
    c->in.head += plen;
    return stream;
  }
  const int rc = read_growing(
      c->io, c->in, fd, plen, [&] { return big.p; },
      [&](size_t size) {
        char* p = static_cast<char*>(std::realloc(big.p, size));
        if (!p) {
          PyErr_NoMemory();
          return -1;
        }
        big.p = p;
        return 0;
      });
  return rc < 0 ? nullptr : big.p;
}

// Where a receive puts the message: whole into parts[0] (n == 0), or, for a
// receiver that takes a tuple of n items, as decode_payload_tuple() does.
struct Into {
  Py_ssize_t n;
  unsigned empty_null;
  Ref* parts;
};

// Receives one frame and decodes its payload: 0 or 1 (split), or -1 with an
// error set. A failed step leaves an error set; the caller closes the channel.
int recv_frame(Conn* c, int fd, Into into) {
  FrameHead head;
  FrameTable table;
  if (recv_head(c, fd, head, table) < 0) return -1;
  Malloced big;
  const char* stream = recv_stream(c, fd, head.plen, big);
  if (!stream) return -1;
  Ref buffers;
  if (head.nbuf) {
    buffers = recv_buffers(c->io, c->in, fd, table);
    if (!buffers) return -1;
  }
  // A message that leaves the read-ahead buffer empty lets it start over at the front.
  if (c->in.size() == 0) c->in.drop();
  return decode_payload_tuple(stream, head.plen, buffers.get(), head, table, into.n, into.empty_null, into.parts);
}

// A receive that fails leaves the stream in an unknown state (a time-out or an
// interrupt in the middle of a frame, say): the channel closes itself, so that
// the next call starts on a fresh connection.
int receive(Conn* c, Into into) {
  if (c->receiving) {
    PyErr_SetString(PyExc_RuntimeError, "Connection.recv() is already running in another thread");
    return -1;
  }
  const int fd = ready_fd(c, Role::Server);
  if (fd < 0) return -1;
  InFlight in_flight(c, c->receiving, c->recv_thread);
  Receiving receiving;
  const int result = recv_frame(c, fd, into);
  if (result < 0 && !c->closed) shut(c);
  return result;
}

Ref do_recv(Conn* c) {
  Ref message;
  receive(c, {0, 0, &message});
  return message;
}

// recv() for a receiver that takes a tuple of n items in parts (decode_payload_tuple).
int do_recv_tuple(Conn* c, Py_ssize_t n, unsigned empty_null, Ref* parts) {
  return receive(c, {n, empty_null, parts});
}

// ------------------------------------------------------------- sending

// What a send encodes: `obj`, or, when obj is null, the tuple of the n values
// at `items` (built only if the message needs pickle; a null item is an empty dict).
struct Message {
  PyObject* obj;
  PyObject* const* items = nullptr;
  Py_ssize_t n = 0;
};

Ref send_message(Conn* c, Message m) {
  if (c->sending) {
    PyErr_SetString(PyExc_RuntimeError, "Connection.send() is already running in another thread");
    return Ref();
  }
  const int fd = ready_fd(c, Role::Client);
  if (fd < 0) return Ref();
  InFlight in_flight(c, c->sending, c->send_thread);
  Ref tuple;  // outlives the frame, which may point into it
  Frame frame;
  const int built = m.obj ? build_frame(c->enc, m.obj, c->max_frame, frame)
                          : build_tuple_frame(c->enc, m.items, m.n, c->max_frame, frame, tuple);
  if (built < 0) return Ref();
  if (write_all(c->io, fd, frame.iov) < 0) {
    shut(c);
    return Ref();
  }
  return pyrt::none();
}

Ref do_send(Conn* c, PyObject* obj) { return send_message(c, {obj}); }

// send(tuple(items[:n])) without the tuple, unless pickle needs one.
Ref do_send_tuple(Conn* c, PyObject* const* items, Py_ssize_t n) { return send_message(c, {nullptr, items, n}); }

Ref do_flush(Conn* c) {
  const int fd = ready_fd(c, Role::Client);
  if (fd < 0) return Ref();
  if (c->receiving) {
    PyErr_SetString(PyExc_RuntimeError, "Connection.flush() called while recv() runs in another thread");
    return Ref();
  }
  c->in.drop();
  const int ended = discard_input(c->io, fd);
  if (ended == kInterrupted) return Ref();
  if (ended < 0) {
    shut(c);
    return Ref();
  }
  if (ended) return fail(c, PyExc_ConnectionResetError, "connection closed by the peer");
  return pyrt::none();
}

// ------------------------------------------------------------- Python surface

const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_self_obj[] = {{"self"}, {"obj"}};

pyrt::Ref m_send(pyrt::Func&, PyObject* const* a) {
  Conn* c = as_conn(a[0]);
  return c ? do_send(c, a[1]) : Ref();
}
pyrt::Ref m_recv(pyrt::Func&, PyObject* const* a) {
  Conn* c = as_conn(a[0]);
  return c ? do_recv(c) : Ref();
}
pyrt::Ref m_flush(pyrt::Func&, PyObject* const* a) {
  Conn* c = as_conn(a[0]);
  return c ? do_flush(c) : Ref();
}
pyrt::Ref m_close(pyrt::Func&, PyObject* const* a) {
  Conn* c = as_conn(a[0]);
  if (!c) return Ref();
  c->closed = true;
  if (c->receiving || c->sending) {  // the socket closes when the calls in flight have left
    release_socket(c, true);
    return pyrt::none();
  }
  c->in.drop();
  Ref r = pyrt::call_method(c->io.obj, pyrt::intern("close"));
  if (!r) return r;
  return pyrt::none();
}
pyrt::Ref m_fileno(pyrt::Func&, PyObject* const* a) {
  Conn* c = as_conn(a[0]);
  if (!c) return Ref();
  return pyrt::call_method(c->io.obj, pyrt::intern("fileno"));
}

const pyrt::FuncDef d_send{"send", "Connection.send", p_self_obj, m_send,
                           "send(obj)\n\nSend one whole object. It is encoded completely before a byte is written."};
const pyrt::FuncDef d_recv{"recv", "Connection.recv", p_self, m_recv, "recv()\n\nWait for and return the next object."};
const pyrt::FuncDef d_flush{"flush", "Connection.flush", p_self, m_flush,
                            "flush()\n\nCheck without blocking that the peer is still there and discard stale "
                            "input; raise ConnectionResetError if the peer has closed the connection."};
const pyrt::FuncDef d_close{"close", "Connection.close", p_self, m_close, "close()\n\nClose the channel and its socket."};
const pyrt::FuncDef d_fileno{"fileno", "Connection.fileno", p_self, m_fileno, "fileno()\n\nThe socket's descriptor."};

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<Conn*>(self)->closed); }
int set_closed(PyObject* self, PyObject* v, void*) {
  if (!v) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete _closed");
    return -1;
  }
  int t = PyObject_IsTrue(v);
  if (t < 0) return -1;
  reinterpret_cast<Conn*>(self)->closed = t != 0;
  return 0;
}
PyObject* get_max_frame(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<Conn*>(self)->max_frame);
}
PyObject* get_timeout(PyObject* self, void*) {
  double t = reinterpret_cast<Conn*>(self)->io.timeout;
  return t < 0 ? pyrt::none().release() : PyFloat_FromDouble(t);
}

PyGetSetDef conn_getset[] = {
    {"closed", get_closed, nullptr, "True once the channel is closed.", nullptr},
    {"_closed", get_closed, set_closed, "The closed flag; `closed` reflects it.", nullptr},
    {"max_frame", get_max_frame, nullptr, "The largest frame, in bytes, that the channel accepts.", nullptr},
    {"timeout", get_timeout, nullptr, "The socket's time-out in seconds (None: no time-out).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef conn_members[] = {
    {"_socket", T_OBJECT, offsetof(Conn, io.obj), READONLY, nullptr},
    {"_onwebs", T_OBJECT, offsetof(Conn, onwebs), 0, nullptr},
    {"_mirrored", T_BOOL, offsetof(Conn, io.mirrored), READONLY,
     "True when the channel reads the socket's descriptor and time-out in place, not through its methods."},
    {"__dictoffset__", T_PYSSIZET, offsetof(Conn, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Conn, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* conn_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"sock", "max_frame", nullptr};
  PyObject* sock;
  unsigned long long max_frame = kDefaultMaxFrame;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|K:Connection", const_cast<char**>(kwlist), &sock, &max_frame))
    return nullptr;
  intern_frame_names();
  SocketInfo info;
  if (inspect_socket(sock, info) < 0) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Conn* c = reinterpret_cast<Conn*>(alloc(type, 0));
  if (!c) return nullptr;
  adopt_socket(c->io, pyrt::new_ref(sock), info);
  c->onwebs = pyrt::boolean(false).release();
  c->max_frame = max_frame;
  c->io.sec = secure_for_new_channel();
  return reinterpret_cast<PyObject*>(c);
}

int conn_traverse(PyObject* self, visitproc visit, void* arg) {
  Conn* c = reinterpret_cast<Conn*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->dict);
  Py_VISIT(c->io.obj);
  Py_VISIT(c->onwebs);
  return traverse_encoder(c->enc, visit, arg);
}

int conn_clear(PyObject* self) {
  Conn* c = reinterpret_cast<Conn*>(self);
  Py_CLEAR(c->dict);
  Py_CLEAR(c->io.obj);
  Py_CLEAR(c->onwebs);
  clear_encoder(c->enc);
  return 0;
}

void conn_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Conn* c = reinterpret_cast<Conn*>(self);
  if (c->weakrefs) PyObject_ClearWeakRefs(self);
  conn_clear(self);
  free_read_ahead(c->in);
  free_encoder(c->enc);
  secure_free(c->io.sec);
  c->io.sec = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* conn_repr(PyObject* self) {
  Conn* c = reinterpret_cast<Conn*>(self);
  return PyUnicode_FromFormat("<lumo.ring.Connection %s>", c->closed ? "closed" : "open");
}

PyType_Slot conn_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(conn_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(conn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(conn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(conn_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(conn_repr)},
    {Py_tp_getset, conn_getset},
    {Py_tp_members, conn_members},
    {Py_tp_doc, const_cast<char*>("Connection(sock, max_frame=16 GiB)\n--\n\n"
                                  "A message channel over one connected socket: send() and recv() move whole "
                                  "Python objects. The socket's time-out bounds every wait. To wait in a "
                                  "single system call, the channel makes the descriptor of a socket with a "
                                  "time-out blocking, with the time-out as SO_RCVTIMEO and SO_SNDTIMEO; the "
                                  "socket's own methods keep honouring its time-out.")},
    {0, nullptr},
};

PyType_Spec conn_spec = {
    "lumo.ring.Connection",
    sizeof(Conn),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    conn_slots,
};

// The operations that lumo's other modules call straight (pyrt/channel.hpp);
// each gets a channel of exactly the Connection class.
PyObject* api_send(PyObject* conn, PyObject* obj) { return do_send(reinterpret_cast<Conn*>(conn), obj).release(); }
PyObject* api_send_tuple(PyObject* conn, PyObject* const* items, Py_ssize_t n) {
  return do_send_tuple(reinterpret_cast<Conn*>(conn), items, n).release();
}
PyObject* api_recv(PyObject* conn) { return do_recv(reinterpret_cast<Conn*>(conn)).release(); }
int api_recv_tuple(PyObject* conn, Py_ssize_t n, unsigned empty_null, Ref* parts) {
  return do_recv_tuple(reinterpret_cast<Conn*>(conn), n, empty_null, parts);
}
PyObject* api_flush(PyObject* conn) { return do_flush(reinterpret_cast<Conn*>(conn)).release(); }
bool api_closed(PyObject* conn) { return reinterpret_cast<Conn*>(conn)->closed; }
PyObject* api_onwebs(PyObject* conn) { return reinterpret_cast<Conn*>(conn)->onwebs; }
PyObject* api_dict(PyObject* conn) { return reinterpret_cast<Conn*>(conn)->dict; }

// Filled once, for the first Connection class made; it and the entries it
// names live as long as the process.
pyrt::ChannelApi channel_api{};

int export_channel_api(PyObject* module, PyObject* type) {
  if (!channel_api.type) {
    const char* const names[pyrt::ChannelApi::Count] = {"send", "recv", "flush", "closed", "_onwebs"};
    for (int i = 0; i < pyrt::ChannelApi::Count; ++i) {
      channel_api.own[i] = pyrt::interp::type_lookup(reinterpret_cast<PyTypeObject*>(type), pyrt::intern(names[i]));
      if (!channel_api.own[i]) {
        PyErr_Format(PyExc_SystemError, "Connection has no %s", names[i]);
        return -1;
      }
    }
    channel_api.send = api_send;
    channel_api.send_tuple = api_send_tuple;
    channel_api.recv = api_recv;
    channel_api.recv_tuple = api_recv_tuple;
    channel_api.flush = api_flush;
    channel_api.closed = api_closed;
    channel_api.onwebs = api_onwebs;
    channel_api.dict = api_dict;
    channel_api.type = reinterpret_cast<PyTypeObject*>(pyrt::new_ref(type));
  }
  Ref capsule = Ref::steal(PyCapsule_New(&channel_api, pyrt::kChannelCapsule, nullptr));
  return capsule ? PyModule_AddObjectRef(module, "_channel_api", capsule.get()) : -1;
}

}  // namespace

int add_connection_class(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &conn_spec, nullptr));
  if (!type) return -1;
  for (const pyrt::FuncDef* d : {&d_send, &d_recv, &d_flush, &d_close, &d_fileno}) {
    Ref f = pyrt::make_function(*d, module);
    if (!f || PyObject_SetAttrString(type.get(), d->name, f.get()) < 0) return -1;
  }
  shared.connection_type = pyrt::new_ref(type.get());
  if (export_channel_api(module, type.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "Connection", type.get());
}

}  // namespace ring
