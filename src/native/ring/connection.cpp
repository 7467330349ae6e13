// lumo.ring.Connection: whole Python objects over one connected socket.
//
// Encoding: pickle protocol 5. Bytes-like objects that offer out-of-band
// pickling (numpy arrays, pickle.PickleBuffer) leave through the same gathered
// write as the pickle stream, without a copy, and arrive in fresh buffers. Large
// bytes objects inside the stream are handed over by the pickler as they are
// and gathered without a copy as well.
//
// The I/O runs on the socket's descriptor with the GIL released around every
// system call; the socket's time-out bounds every wait. A wait interrupted by a
// signal runs the interpreter's signal handlers, so Ctrl+C interrupts it.
#include "ring/connection.hpp"
#include "pyrt/channel.hpp"
#include "ring/auth.hpp"
#include "ring/fastcodec.hpp"
#include "ring/frame.hpp"
#include "ring/pickle_check.hpp"
#include "ring/spin.hpp"
#include "pyrt/interp.hpp"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <structmember.h>

#include <climits>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace ring {

Shared shared;

namespace {

using pyrt::Ref;

constexpr size_t kInitialBuffer = 64 * 1024;       // read-ahead buffer of a channel
constexpr size_t kInlineStream = 1024 * 1024;      // larger streams get a buffer of their own
constexpr size_t kFirstChunk = 1024 * 1024;        // growth start for large targets

using SocketMirror = pyrt::interp::SocketHead;

PyObject* s_fileno;
PyObject* s_close;
PyObject* s_gettimeout;
PyObject* s_dump;
PyObject* s_clear_memo;
PyObject* s_persistent_id;
PyObject* s_persistent_load;
PyObject* s_load;

}  // namespace

void intern_frame_names() {
  if (s_fileno) return;
  s_fileno = pyrt::intern("fileno");
  s_close = pyrt::intern("close");
  s_gettimeout = pyrt::intern("gettimeout");
  s_dump = pyrt::intern("dump");
  s_clear_memo = pyrt::intern("clear_memo");
  s_persistent_id = pyrt::intern("persistent_id");
  s_persistent_load = pyrt::intern("persistent_load");
  s_load = pyrt::intern("load");
}

namespace {

constexpr size_t kOutOfBandBytes = 256 * 1024;      // bytes objects this large travel out of band
constexpr std::uint64_t kBytesBuffer = 1ull << 63;  // table mark: the buffer is a whole bytes object

struct Conn {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* sock;      // _socket
  PyObject* onwebs;    // _onwebs
  FrameEncoder enc;    // the pickler and compact buffer of the messages sent
  bool mirrored;       // the socket's descriptor and time-out are read in place
  double timeout;      // seconds; negative: no time-out
  bool fd_timeouts;    // the descriptor carries fd_timeout as SO_RCVTIMEO and SO_SNDTIMEO
  bool fd_blocking;    // ... and was made blocking (until settimeout() makes it non-blocking again)
  double fd_timeout;
  unsigned long long max_frame;
  bool closed;
  bool sending;
  bool receiving;
  bool closing;        // closed while a call was in flight: the socket closes when the last one leaves
  unsigned long send_thread;  // the threads of the calls in flight
  unsigned long recv_thread;
  char* rbuf;
  size_t rcap;
  size_t rhead;
  size_t rtail;
  Secure* sec;         // the key and TLS of a channel made while they are set; null otherwise
  SpinState spin;      // its recent waits (see spin.hpp)
};

Conn* as_conn(PyObject* o) {
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(shared.connection_type))) {
    PyErr_Format(PyExc_TypeError, "expected a Connection, got %.200s", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<Conn*>(o);
}

// ------------------------------------------------------------- closing

// Closes the socket, keeping any pending error.
void close_socket(Conn* c) {
  if (!c->sock) return;
  pyrt::SavedError saved;
  Ref r = pyrt::call_method(c->sock, s_close);
  PyErr_Clear();
  if (saved.type()) saved.restore();
}

// The descriptor as it stands, or -1; raises nothing.
int current_fd(Conn* c) {
  if (!c->sock) return -1;
  if (c->mirrored) return reinterpret_cast<const SocketMirror*>(c->sock)->fd;
  pyrt::SavedError saved;
  Ref fd = pyrt::call_method(c->sock, s_fileno);
  const long v = fd ? PyLong_AsLong(fd.get()) : -1;
  PyErr_Clear();
  if (saved.type()) saved.restore();
  return static_cast<int>(v);
}

// A call in flight (recv() or send()) uses the descriptor across GIL releases, so a channel
// closed meanwhile keeps its socket open until the last such call has left: a descriptor
// number closed under a waiting thread could be reused by a new socket, which that thread
// would then read or write. A call in flight on another thread is woken by shutting the
// socket down (its wait ends as at the end of the stream), and finds the channel closing.
// `wake_all`: shut down even when the only call in flight is this thread's own (close() from a
// signal handler that runs while it waits).
void release_socket(Conn* c, bool wake_all) {
  if (!c->receiving && !c->sending) {
    close_socket(c);
    return;
  }
  c->closing = true;
  const unsigned long me = PyThread_get_thread_ident();
  if (wake_all || (c->receiving && c->recv_thread != me) || (c->sending && c->send_thread != me)) {
    const int fd = current_fd(c);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
}

// Marks the channel closed and closes its socket (or has it closed, see release_socket),
// keeping any pending error.
void shut(Conn* c) {
  c->closed = true;
  if (!c->receiving || c->recv_thread == PyThread_get_thread_ident()) c->rhead = c->rtail = 0;
  release_socket(c, false);
}

// The error of a call in flight that finds the channel closed by another thread.
int raise_closing(const char* op) {
  PyErr_Format(PyExc_ConnectionAbortedError, "the connection was closed while %s() waited", op);
  return -1;
}

// Raises `type(text)` and closes the channel.
std::nullptr_t fail(Conn* c, PyObject* type, const char* text) {
  PyErr_SetString(type, text);
  shut(c);
  return nullptr;
}

// Closes the channel, keeping the error already set.
std::nullptr_t fail_pending(Conn* c) {
  shut(c);
  return nullptr;
}

int raise_closed() {
  PyErr_SetString(PyExc_ConnectionAbortedError, "the connection is closed");
  return -1;
}

// A socket whose time-out was taken off (settimeout(None)) after the channel
// gave its descriptor SO_RCVTIMEO and SO_SNDTIMEO: its calls wait for as long
// as it takes again, the socket's own methods included.
void drop_descriptor_timeouts(Conn* c, int fd) {
  const timeval none{};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  c->fd_timeouts = false;
  c->fd_blocking = false;
}

// The socket's time-out from its gettimeout() into *t (negative: none).
int read_timeout(PyObject* sock, double* t) {
  Ref timeout = pyrt::call_method(sock, s_gettimeout);
  if (!timeout) return -1;
  *t = -1;
  if (timeout.get() == Py_None) return 0;
  *t = PyFloat_AsDouble(timeout.get());
  return *t == -1 && PyErr_Occurred() ? -1 : 0;
}

// The descriptor of the socket, checked at each operation: a socket closed
// behind the channel's back reads as a closed channel, never as a stale number.
// The socket's current time-out is read with it, so that the channel follows
// settimeout() whether or not it reads the socket in place.
int live_fd(Conn* c) {
  if (c->closed) return raise_closed();
  if (c->mirrored) {
    // The interpreter's socket object, read in place: its descriptor (-1 once
    // closed) and its current time-out, at no cost of a method call.
    const auto* m = reinterpret_cast<const SocketMirror*>(c->sock);
    c->timeout = m->timeout_ns < 0 ? -1.0 : static_cast<double>(m->timeout_ns) / 1e9;
    if (m->fd < 0) {
      c->closed = true;
      return raise_closed();
    }
    if (c->fd_timeouts && c->timeout < 0) drop_descriptor_timeouts(c, m->fd);
    return m->fd;
  }
  Ref fd = pyrt::call_method(c->sock, s_fileno);
  if (!fd) return -1;
  long v = PyLong_AsLong(fd.get());
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < 0) {
    c->closed = true;
    return raise_closed();
  }
  if (read_timeout(c->sock, &c->timeout) < 0) return -1;
  if (c->fd_timeouts && c->timeout < 0) drop_descriptor_timeouts(c, static_cast<int>(v));
  return static_cast<int>(v);
}

// ------------------------------------------------------------- system calls

int poll_ms(double timeout) {
  if (timeout < 0) return -1;
  double ms = std::ceil(timeout * 1000.0);
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Sets the Python error for a failed socket call.
void raise_errno(int err) {
  switch (err) {
    case ECONNRESET: PyErr_SetString(PyExc_ConnectionResetError, "connection reset by the peer"); return;
    case EPIPE: PyErr_SetString(PyExc_BrokenPipeError, "broken pipe: the peer has closed the connection"); return;
    case ECONNABORTED: PyErr_SetString(PyExc_ConnectionAbortedError, "connection aborted"); return;
    default: errno = err; PyErr_SetFromErrno(PyExc_OSError); return;
  }
}

int raise_timeout(const Conn* c) {
  char text[96];
  std::snprintf(text, sizeof text, "timed out: no progress from the peer in %g s", c->timeout);
  PyErr_SetString(PyExc_TimeoutError, text);
  return -1;
}

// Runs `op` (a non-blocking or blocking socket call returning ssize_t) until it
// makes progress, waiting with poll() for at most the time-out between tries.
// Returns the call's result (>= 0) or -1 with a Python error set.
template <class Op>
ssize_t run_io(Conn* c, int fd, short events, bool wait_first, Op op) {
  for (;;) {
    ssize_t r = -1;
    int err = 0;
    int ready = 1;
    {
      pyrt::NoGil nogil;
      const int ms = poll_ms(c->timeout);
      if (wait_first && c->timeout >= 0) {
        pollfd p{fd, events, 0};
        ready = poll(&p, 1, ms);
        if (ready < 0) err = errno;
      }
      if (ready > 0) {
        r = op();
        if (r < 0) err = errno;
        while (r < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
          pollfd p{fd, events, 0};
          ready = poll(&p, 1, ms);
          if (ready <= 0) {
            if (ready < 0) err = errno;
            break;
          }
          r = op();
          err = r < 0 ? errno : 0;
        }
      }
    }
    if (c->closing) return raise_closing(events == POLLIN ? "recv" : "send");
    if (r >= 0) return r;
    if (ready == 0) {
      return raise_timeout(c);
    }
    if (err == EINTR) {
      if (PyErr_CheckSignals() < 0) return -1;
      continue;
    }
    raise_errno(err);
    return -1;
  }
}

// A socket with a time-out is non-blocking at the descriptor, so waiting for
// data takes two calls: poll(), then recv(). A channel that waits on such a
// socket turns its descriptor blocking, with the time-out as SO_RCVTIMEO and
// SO_SNDTIMEO, and then waits with a single recv(). The channel's other calls
// pass MSG_DONTWAIT and stay non-blocking, and the socket object's own methods
// still work, since with a time-out they poll before every call.
// Returns whether the descriptor is blocking with the current time-out.
bool blocking_descriptor(Conn* c, int fd) {
  if (c->fd_blocking && c->fd_timeout == c->timeout) return true;
  c->fd_blocking = false;
  double whole = std::floor(c->timeout);
  timeval tv{};
  tv.tv_sec = whole > 1e9 ? 1000000000 : static_cast<time_t>(whole);
  tv.tv_usec = whole > 1e9 ? 0 : static_cast<suseconds_t>(std::ceil((c->timeout - whole) * 1e6));
  if (tv.tv_usec >= 1000000) {
    tv.tv_sec += 1;
    tv.tv_usec = 0;
  }
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;  // zero would mean no time-out at all
  const int fl = fcntl(fd, F_GETFL);
  if (fl < 0) return false;
  c->fd_timeouts = true;  // from here on, whether or not all of it succeeds
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0 ||
      ((fl & O_NONBLOCK) && fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0))
    return false;
  c->fd_blocking = true;
  c->fd_timeout = c->timeout;
  return true;
}

// Reads what is available (at least one byte) into dst. 0 means end of stream.
// `wait_first`: nothing is expected to be there yet.
ssize_t read_some(Conn* c, int fd, char* dst, size_t n, bool wait_first) {
  if (c->sec && c->sec->tls) return tls_read(*c->sec, fd, dst, n, c->timeout);
  if (wait_first && c->timeout != 0) {
    int err = 0;
    const ssize_t r = spin_recv(c->spin, fd, dst, n, c->timeout, &err);
    if (r != kNoSpin && c->closing) return raise_closing("recv");
    if (r >= 0) return r;
    if (r == -1 && err == ETIMEDOUT) return raise_timeout(c);
    if (r == -1 && err != EINTR) {
      raise_errno(err);
      return -1;
    }
    if (r == -1 && PyErr_CheckSignals() < 0) return -1;
  }
  if (wait_first && c->timeout > 0 && blocking_descriptor(c, fd)) {
    for (;;) {
      ssize_t r;
      int err;
      {
        pyrt::NoGil nogil;
        r = recv(fd, dst, n, 0);
        err = r < 0 ? errno : 0;
      }
      if (c->closing) return raise_closing("recv");
      if (r >= 0) return r;
      if (err == EINTR) {
        if (PyErr_CheckSignals() < 0) return -1;
        continue;
      }
      if (err != EAGAIN && err != EWOULDBLOCK) {
        raise_errno(err);
        return -1;
      }
      // Either the time-out ran out, or the socket was made non-blocking
      // again behind the channel's back (settimeout()): then wait with poll().
      const int fl = fcntl(fd, F_GETFL);
      if (fl >= 0 && !(fl & O_NONBLOCK)) {
        return raise_timeout(c);
      }
      c->fd_blocking = false;
      break;
    }
  }
  const int flags = c->timeout >= 0 ? MSG_DONTWAIT : 0;
  return run_io(c, fd, POLLIN, wait_first, [&] { return recv(fd, dst, n, flags); });
}

// ------------------------------------------------------------- receiving

int eof_error(Conn* c, bool at_boundary) {
  raise_eof(at_boundary);
  shut(c);
  return -1;
}

int grow_rbuf(Conn* c, size_t need) {
  if (c->rhead > 0 && c->rcap - c->rhead < need) {
    std::memmove(c->rbuf, c->rbuf + c->rhead, c->rtail - c->rhead);
    c->rtail -= c->rhead;
    c->rhead = 0;
  }
  if (c->rcap < need) {
    size_t cap = c->rcap ? c->rcap : kInitialBuffer;
    while (cap < need) cap *= 2;
    char* p = static_cast<char*>(std::realloc(c->rbuf, cap));
    if (!p) {
      PyErr_NoMemory();
      return -1;
    }
    c->rbuf = p;
    c->rcap = cap;
  }
  return 0;
}

// Makes sure `need` bytes are buffered, reading ahead as far as the buffer allows.
int ensure(Conn* c, int fd, size_t need, bool frame_started) {
  if (c->rtail - c->rhead >= need) return 0;
  if (grow_rbuf(c, need) < 0) return -1;
  while (c->rtail - c->rhead < need) {
    bool at_boundary = !frame_started && c->rtail == c->rhead;
    ssize_t r = read_some(c, fd, c->rbuf + c->rtail, c->rcap - c->rtail, c->rtail == c->rhead);
    if (r < 0) return -1;
    if (r == 0) return eof_error(c, at_boundary);
    c->rtail += static_cast<size_t>(r);
    if (c->rtail - c->rhead < need && PyErr_CheckSignals() < 0) return -1;
  }
  return 0;
}

// Fills a target of `n` bytes that grows with what arrives: first from the
// read-ahead buffer, then straight from the socket into the target.
template <class Data, class Resize>
int read_growing(Conn* c, int fd, size_t n, Data data, Resize resize) {
  size_t size = n < kFirstChunk ? n : kFirstChunk;
  if (resize(size) < 0) return -1;
  size_t have = c->rtail - c->rhead;
  if (have > n) have = n;
  if (have > size) {
    size = have;
    if (resize(size) < 0) return -1;
  }
  std::memcpy(data(), c->rbuf + c->rhead, have);
  c->rhead += have;
  size_t filled = have;
  while (filled < n) {
    if (filled == size) {
      size = size * 2 < n ? size * 2 : n;
      if (resize(size) < 0) return -1;
    }
    // In the middle of a large message more bytes are usually there already:
    // read first, and wait only when the socket has nothing.
    ssize_t r = read_some(c, fd, data() + filled, size - filled, false);
    if (r < 0) return -1;
    if (r == 0) return eof_error(c, false);
    filled += static_cast<size_t>(r);
    if (filled < n && PyErr_CheckSignals() < 0) return -1;
  }
  return 0;
}

struct Malloced {
  char* p = nullptr;
  ~Malloced() { std::free(p); }
};

std::uint64_t le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void put64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
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
    if (c->closing && !c->receiving && !c->sending) {
      c->closing = false;
      c->rhead = c->rtail = 0;
      close_socket(c);
    }
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
};

Ref decode_failed();

Ref decode(const char* data, size_t len, PyObject* buffers, bool fast) {
  Ref result;
  if (fast) {
    result = fast_decode(data, len);
    if (!result) return decode_failed();
    return result;
  }
  // Numbers in the stream that would make the unpickler allocate far more than the stream's
  // size (a huge memo index, a length past the end), and containers nested deeper than any
  // pickler writes, are refused before it runs.
  PickleProblem problem;
  if (!check_pickle(reinterpret_cast<const unsigned char*>(data), len, &problem)) {
    char text[200];
    describe_problem(problem, len, text, sizeof text);
    PyErr_SetString(PyExc_ConnectionAbortedError, text);
    return Ref();
  }
  Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data), static_cast<Py_ssize_t>(len), PyBUF_READ));
  if (!view) return view;
  if (buffers) {
    PyObject* args[] = {nullptr, view.get(), buffers};
    result = Ref::steal(PyObject_Vectorcall(shared.loads, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, shared.kw_buffers));
  } else {
    result = pyrt::call(shared.loads, view.get());
  }
  if (!result) return decode_failed();
  return result;
}

// Turns the error of a message that does not decode into ConnectionAbortedError
// naming the cause. The channel that received it closes itself.
Ref decode_failed() {
  // Ctrl+C (or SystemExit) that lands while an object of the message is being
  // rebuilt is no fault of the message: it goes up as it is, so that the
  // program stops instead of treating it as a broken connection.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
  pyrt::SavedError cause;
  Ref text = Ref::steal(PyObject_Str(cause.value()));
  if (!text) PyErr_Clear();
  const pyrt::Utf8 utf8(text.get());  // the cause's text may hold a lone surrogate
  PyErr_Format(PyExc_ConnectionAbortedError, "cannot decode the message: %s: %s",
               reinterpret_cast<PyTypeObject*>(cause.type())->tp_name, utf8.c_str());
  if (PyErr_Occurred()) {
    pyrt::SavedError outer;
    Ref cause_value = cause.take_value();
    PyException_SetCause(outer.value(), cause_value.release());
    outer.restore();
  }
  return Ref();
}

Ref recv_frame(Conn* c, int fd);

// persistent_load of a message with large bytes out of band: the id is the
// buffer's place in the frame.
Ref f_load_bytes(pyrt::Func& f, PyObject* const* a) {
  PyObject* all = f.closure;
  const Py_ssize_t i = PyLong_CheckExact(a[0]) ? PyLong_AsSsize_t(a[0]) : -1;
  if (i < 0 || i >= PyList_GET_SIZE(all) || !PyBytes_CheckExact(PyList_GET_ITEM(all, i))) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "bad out-of-band reference in the message");
    return Ref();
  }
  return Ref::borrow(PyList_GET_ITEM(all, i));
}
const pyrt::Param p_load_bytes[] = {{"pid"}};
const pyrt::FuncDef d_load_bytes{"persistent_load", "Connection.persistent_load", p_load_bytes, f_load_bytes};

// Decodes a pickle stream whose large bytes objects travelled out of band
// (marked in the buffer table): they come back through persistent_load, the
// other buffers through the unpickler's buffers as usual.
Ref decode_with_bytes(const char* data, size_t len, PyObject* all, const std::vector<bool>& whole_bytes) {
  PickleProblem problem;
  if (!check_pickle(reinterpret_cast<const unsigned char*>(data), len, &problem))
    return decode(data, len, all, false);  // reports the problem
  Ref plain = Ref::steal(PyList_New(0));
  if (!plain) return plain;
  for (size_t i = 0; i < whole_bytes.size(); ++i)
    if (!whole_bytes[i] && PyList_Append(plain.get(), PyList_GET_ITEM(all, static_cast<Py_ssize_t>(i))) < 0)
      return Ref();
  Ref stream = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(len)));
  if (!stream) return stream;
  Ref file = pyrt::call(shared.bytesio_type, stream.get());
  if (!file) return decode_failed();
  PyObject* args[] = {nullptr, file.get(), plain.get()};
  Ref unpickler = Ref::steal(
      PyObject_Vectorcall(shared.unpickler_type, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, shared.kw_buffers));
  if (!unpickler) return decode_failed();
  Ref loader = pyrt::make_function(d_load_bytes, shared.module, all);
  if (!loader || pyrt::setattr(unpickler.get(), s_persistent_load, loader.get()) < 0) return decode_failed();
  Ref result = pyrt::call_method(unpickler.get(), s_load);
  if (!result) return decode_failed();
  return result;
}

// A channel with a key or TLS proves its peer before its first message. Its
// first operation tells which end it is: a receive the server's, a send or a
// flush the client's. A handshake that failed fails every later operation.
int secured_fd(Conn* c, Role role) {
  if (c->sec->failure) return secure_raise_failure(*c->sec);
  const int fd = live_fd(c);
  if (fd < 0 || c->sec->ready) return fd;
  // The client names the host it connected to in the channel's
  // `server_hostname`; TLS checks the certificate against that name, and
  // against the peer's address when no name was given.
  PyObject* name = c->dict ? PyDict_GetItemWithError(c->dict, pyrt::intern("server_hostname")) : nullptr;
  if (!name && PyErr_Occurred()) return -1;
  if (secure_begin(*c->sec, fd, role, c->sock, name, c->timeout) < 0) {
    shut(c);
    return -1;
  }
  return fd;
}

// A receive that fails leaves the stream in an unknown state (a time-out or an
// interrupt in the middle of a frame, say): the channel closes itself, so that
// the next call starts on a fresh connection.
Ref do_recv(Conn* c) {
  if (c->receiving) {
    PyErr_SetString(PyExc_RuntimeError, "Connection.recv() is already running in another thread");
    return Ref();
  }
  int fd = c->sec ? secured_fd(c, Role::Server) : live_fd(c);
  if (fd < 0) return Ref();
  InFlight in_flight(c, c->receiving, c->recv_thread);
  Receiving receiving;
  Ref result = recv_frame(c, fd);
  if (!result && !c->closed) shut(c);
  return result;
}

}  // namespace

int check_head(const unsigned char* h, FrameHead& out) {
  if (h[0] != kMagic0 || h[1] != kMagic1) {
    char text[160];
    std::snprintf(text, sizeof text, "bad frame header %02x%02x%02x%02x: the peer does not speak the lumo protocol",
                  h[0], h[1], h[2], h[3]);
    PyErr_SetString(PyExc_ConnectionAbortedError, text);
    return -1;
  }
  out.fast = h[3] == kFlagFast;
  if (h[3] & ~kFlagFast) {
    char text[120];
    std::snprintf(text, sizeof text, "unsupported frame flags %02x", h[3]);
    PyErr_SetString(PyExc_ConnectionAbortedError, text);
    return -1;
  }
  if (h[2] != kVersion) {
    char text[120];
    std::snprintf(text, sizeof text, "unsupported frame version %u (this side speaks version %u)", h[2], kVersion);
    PyErr_SetString(PyExc_ConnectionAbortedError, text);
    return -1;
  }
  out.nbuf = le32(h + 4);
  out.plen = le64(h + 8);
  if (out.fast && out.nbuf) {
    PyErr_SetString(PyExc_ConnectionAbortedError, "bad frame header: a compact message with buffers");
    return -1;
  }
  if (out.nbuf > kMaxBuffers) {
    char text[120];
    std::snprintf(text, sizeof text, "bad frame header: %u out-of-band buffers (at most %u)", out.nbuf, kMaxBuffers);
    PyErr_SetString(PyExc_ConnectionAbortedError, text);
    return -1;
  }
  return 0;
}

int check_table(const unsigned char* table, const FrameHead& head, unsigned long long max_frame, FrameTable& out) {
  const std::uint32_t nbuf = head.nbuf;
  const std::uint64_t plen = head.plen;
  out.lengths.assign(nbuf, 0);
  out.whole_bytes.assign(nbuf, false);
  out.any_bytes = false;
  std::uint64_t total = plen;
  bool over = plen > max_frame;
  for (std::uint32_t i = 0; i < nbuf && !over; ++i) {
    const std::uint64_t entry = le64(table + 8 * i);
    out.whole_bytes[i] = (entry & kBytesBuffer) != 0;
    out.any_bytes = out.any_bytes || out.whole_bytes[i];
    out.lengths[i] = entry & ~kBytesBuffer;
    over = out.lengths[i] > max_frame || total + out.lengths[i] > max_frame;
    total += out.lengths[i];
  }
  if (plen == 0) {
    PyErr_SetString(PyExc_ConnectionAbortedError, "bad frame header: empty pickle stream");
    return -1;
  }
  if (over) {
    char text[200];
    std::snprintf(text, sizeof text, "frame is over the limit of %llu bytes: the peer claims %llu bytes or more",
                  max_frame, static_cast<unsigned long long>(total));
    PyErr_SetString(PyExc_ConnectionAbortedError, text);
    return -1;
  }
  return 0;
}

Ref decode_payload(const char* data, size_t len, PyObject* buffers, const FrameHead& head, const FrameTable& table) {
  if (table.any_bytes) return decode_with_bytes(data, len, buffers, table.whole_bytes);
  return decode(data, len, buffers, head.fast);
}

void raise_eof(bool at_boundary) {
  PyErr_SetString(PyExc_ConnectionResetError, at_boundary ? "connection closed by the peer"
                                                          : "connection closed by the peer in the middle of a message");
}

namespace {

// A failed step leaves an error set; do_recv() closes the channel.
Ref recv_frame(Conn* c, int fd) {
  if (ensure(c, fd, kHeader, false) < 0) return Ref();
  FrameHead head;
  const auto* h = reinterpret_cast<const unsigned char*>(c->rbuf + c->rhead);
  // A handshake message or TLS where a frame belongs: the error says what the peer expects.
  if ((h[0] != kMagic0 || h[1] != kMagic1) && foreign_header(c->sec, fd, c->sock, h, c->timeout)) return Ref();
  if (check_head(h, head) < 0) return Ref();
  const std::uint32_t nbuf = head.nbuf;
  const std::uint64_t plen = head.plen;
  if (ensure(c, fd, kHeader + 8ull * nbuf, true) < 0) return Ref();
  FrameTable table;
  if (check_table(reinterpret_cast<const unsigned char*>(c->rbuf + c->rhead + kHeader), head, c->max_frame, table) < 0)
    return Ref();
  const std::vector<std::uint64_t>& lengths = table.lengths;
  const std::vector<bool>& whole_bytes = table.whole_bytes;
  c->rhead += kHeader + 8ull * nbuf;

  const char* stream;
  Malloced big;
  if (plen <= kInlineStream) {
    if (ensure(c, fd, plen, true) < 0) return Ref();
    stream = c->rbuf + c->rhead;
    c->rhead += plen;
  } else {
    int rc = read_growing(
        c, fd, plen, [&] { return big.p; },
        [&](size_t size) {
          char* p = static_cast<char*>(std::realloc(big.p, size));
          if (!p) {
            PyErr_NoMemory();
            return -1;
          }
          big.p = p;
          return 0;
        });
    if (rc < 0) return Ref();
    stream = big.p;
  }

  Ref buffers;
  if (nbuf) {
    buffers = Ref::steal(PyList_New(nbuf));
    if (!buffers) return Ref();
    for (std::uint32_t i = 0; i < nbuf; ++i) {
      if (whole_bytes[i]) {
        // A large bytes object of the message: read straight into a new bytes
        // object, which the message then holds as it is.
        PyObject* b = PyBytes_FromStringAndSize(nullptr, 0);
        if (!b) return Ref();
        int rc = read_growing(
            c, fd, lengths[i], [&] { return PyBytes_AS_STRING(b); },
            [&](size_t size) { return pyrt::interp::resize_bytes(&b, static_cast<Py_ssize_t>(size)); });
        Ref owned = Ref::steal(b);
        if (rc < 0) return Ref();
        PyList_SET_ITEM(buffers.get(), i, owned.release());
        continue;
      }
      Ref ba = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
      if (!ba) return Ref();
      PyObject* b = ba.get();
      int rc = read_growing(
          c, fd, lengths[i], [&] { return PyByteArray_AS_STRING(b); },
          [&](size_t size) { return PyByteArray_Resize(b, static_cast<Py_ssize_t>(size)); });
      if (rc < 0) return Ref();
      PyList_SET_ITEM(buffers.get(), i, ba.release());
    }
  }
  // A message that leaves the read-ahead buffer empty lets it start over at the front.
  if (c->rhead == c->rtail) c->rhead = c->rtail = 0;
  return decode_payload(stream, plen, buffers.get(), head, table);
}

// ------------------------------------------------------------- sending

// persistent_id of the channel's pickler: a large bytes object leaves the
// stream and travels out of band, gathered without a copy and received
// straight into a new bytes object. Its id is its place among the buffers.
Ref f_bytes_id(pyrt::Func& f, PyObject* const* a) {
  PyObject* obj = a[0];
  if (!PyBytes_CheckExact(obj) || static_cast<size_t>(PyBytes_GET_SIZE(obj)) < kOutOfBandBytes) return pyrt::none();
  PyObject* keep = f.closure;
  // The same object twice in a message travels once and arrives as one object.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keep); ++i)
    if (PyList_GET_ITEM(keep, i) == obj) return Ref::steal(PyLong_FromSsize_t(i));
  Ref id = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(keep)));
  if (!id || PyList_Append(keep, obj) < 0) return Ref();
  return id;
}
const pyrt::Param p_bytes_id[] = {{"obj"}};
const pyrt::FuncDef d_bytes_id{"persistent_id", "Connection.persistent_id", p_bytes_id, f_bytes_id};

Ref ensure_pickler(FrameEncoder& e) {
  if (e.pickler) return Ref::borrow(e.pickler);
  Ref write_target = Ref::steal(PyList_New(0));
  Ref keep = Ref::steal(PyList_New(0));
  if (!write_target || !keep) return Ref();
  // The pickler writes into a list-like sink: a list whose `write` is `append`.
  Ref sink = pyrt::call(shared.sink_type);
  if (!sink) return Ref();
  Ref append = pyrt::getattr(keep.get(), pyrt::intern("append"));
  Ref proto = Ref::steal(PyLong_FromLong(5));
  if (!append || !proto) return Ref();
  PyObject* args[] = {nullptr, sink.get(), proto.get(), append.get()};
  Ref p = Ref::steal(
      PyObject_Vectorcall(shared.pickler_type, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, shared.kw_buffer_callback));
  if (!p) return p;
  Ref persistent_id = pyrt::make_function(d_bytes_id, shared.module, keep.get());
  if (!persistent_id || pyrt::setattr(p.get(), s_persistent_id, persistent_id.get()) < 0) return Ref();
  Ref dump = pyrt::getattr(p.get(), s_dump);
  Ref clear_memo = pyrt::getattr(p.get(), s_clear_memo);
  if (!dump || !clear_memo) return Ref();
  e.chunks = sink.release();
  e.buffers = keep.release();
  e.dump = dump.release();
  e.clear_memo = clear_memo.release();
  e.pickler = Ref::borrow(p.get()).release();
  return p;
}

void clear_list(PyObject* list) {
  if (list && PyList_GET_SIZE(list)) PyList_SetSlice(list, 0, PyList_GET_SIZE(list), nullptr);
}

int write_all(Conn* c, int fd, std::span<iovec> iov) {
  if (c->sec && c->sec->tls) return tls_write(*c->sec, fd, iov, c->timeout);
  size_t i = 0;
  while (i < iov.size()) {
    size_t count = iov.size() - i;
    if (count > IOV_MAX) count = IOV_MAX;
    msghdr m{};
    m.msg_iov = iov.data() + i;
    m.msg_iovlen = count;
    const int flags = MSG_NOSIGNAL | (c->timeout >= 0 ? MSG_DONTWAIT : 0);
    ssize_t r = -1;
    if (i == 0) {
      // First a write that cannot block, with the GIL kept: a message that fits
      // in the socket's buffer (nearly all of them) goes out without the cost
      // of handing the GIL over and back. Only a write that would block waits
      // with the GIL released.
      r = hand_over_gil() ? send_without_gil(fd, &m) : sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        raise_errno(errno);
        return -1;
      }
    }
    if (r < 0) r = run_io(c, fd, POLLOUT, false, [&] { return sendmsg(fd, &m, flags); });
    if (r < 0) return -1;
    size_t n = static_cast<size_t>(r);
    while (n && i < iov.size()) {
      if (n >= iov[i].iov_len) {
        n -= iov[i].iov_len;
        ++i;
      } else {
        iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + n;
        iov[i].iov_len -= n;
        n = 0;
      }
    }
    while (i < iov.size() && iov[i].iov_len == 0) ++i;
    // A blocking write that a signal cuts short returns the count written so
    // far, not EINTR: run the handlers here, or Ctrl+C would wait for the end
    // of a large message (forever, if the peer has stopped reading).
    if (i < iov.size() && PyErr_CheckSignals() < 0) return -1;
  }
  return 0;
}

}  // namespace

Frame::~Frame() {
  if (!pickled) return;
  pyrt::SavedError keep;
  clear_list(pickled->chunks);
  clear_list(pickled->buffers);
  Ref r = pyrt::call(pickled->clear_memo);
  PyErr_Clear();
  if (keep.type()) keep.restore();
}

int build_frame(FrameEncoder& e, PyObject* obj, unsigned long long max_frame, Frame& f) {
  if (fast_encode(obj, e.compact)) {
    if (e.compact.len > max_frame) {
      PyErr_Format(PyExc_ValueError, "message of %zu bytes is over the frame limit of %llu bytes", e.compact.len,
                   max_frame);
      return -1;
    }
    unsigned char* header = f.small;
    const unsigned char head[8] = {kMagic0, kMagic1, kVersion, kFlagFast, 0, 0, 0, 0};
    std::memcpy(header, head, sizeof head);
    put64(header + 8, e.compact.len);
    f.iov.assign({{header, kHeader}, {e.compact.p, e.compact.len}});
    return 0;
  }
  Ref pickler = ensure_pickler(e);
  if (!pickler) return -1;
  f.pickled = &e;

  // Encode the whole message before a byte is written: an object that does not
  // pickle raises here and leaves the stream as it was.
  Ref done = pyrt::call(e.dump, obj);
  if (!done) return -1;

  PyObject* chunks = e.chunks;
  const Py_ssize_t nchunks = PyList_GET_SIZE(chunks);
  const Py_ssize_t nbuf = PyList_GET_SIZE(e.buffers);
  std::vector<iovec>& iov = f.iov;
  iov.reserve(static_cast<size_t>(nchunks + nbuf + 1));
  unsigned char* header = f.small;
  const size_t header_len = kHeader + 8 * static_cast<size_t>(nbuf);
  if (header_len > sizeof f.small) {
    f.header_big.resize(header_len);
    header = f.header_big.data();
  }
  iov.push_back({header, header_len});

  std::uint64_t plen = 0;
  for (Py_ssize_t i = 0; i < nchunks; ++i) {
    PyObject* ch = PyList_GET_ITEM(chunks, i);
    if (!PyBytes_CheckExact(ch)) {
      // The pickler streams large texts and bytearrays as views of their
      // memory; copy them, since the GIL is released while the frame goes out.
      Ref copy = Ref::steal(PyBytes_FromObject(ch));
      if (!copy) return -1;
      PyList_SetItem(chunks, i, copy.release());
      ch = PyList_GET_ITEM(chunks, i);
    }
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(ch));
    plen += n;
    if (n) iov.push_back({PyBytes_AS_STRING(ch), n});
  }
  if (static_cast<unsigned long>(nbuf) > kMaxBuffers) {
    PyErr_Format(PyExc_ValueError, "cannot send a message with %zd out-of-band buffers (at most %u)", nbuf,
                 kMaxBuffers);
    return -1;
  }
  Views& views = f.views;
  views.v.reserve(static_cast<size_t>(nbuf));
  std::uint64_t total = plen;
  for (Py_ssize_t i = 0; i < nbuf; ++i) {
    Py_buffer b;
    if (PyObject_GetBuffer(PyList_GET_ITEM(e.buffers, i), &b, PyBUF_FULL_RO) < 0) return -1;
    views.v.push_back(b);
    if (!PyBuffer_IsContiguous(&b, 'A')) {
      PyErr_SetString(PyExc_BufferError, "cannot send a non-contiguous buffer out of band");
      return -1;
    }
    const bool whole = PyBytes_CheckExact(PyList_GET_ITEM(e.buffers, i));
    put64(header + kHeader + 8 * i, static_cast<std::uint64_t>(b.len) | (whole ? kBytesBuffer : 0));
    total += static_cast<std::uint64_t>(b.len);
    if (b.len) iov.push_back({b.buf, static_cast<size_t>(b.len)});
  }
  if (total > max_frame) {
    PyErr_Format(PyExc_ValueError, "message of %llu bytes is over the frame limit of %llu bytes",
                 static_cast<unsigned long long>(total), max_frame);
    return -1;
  }
  header[0] = kMagic0;
  header[1] = kMagic1;
  header[2] = kVersion;
  header[3] = 0;
  put32(header + 4, static_cast<std::uint32_t>(nbuf));
  put64(header + 8, plen);
  return 0;
}

int traverse_encoder(FrameEncoder& e, visitproc visit, void* arg) {
  Py_VISIT(e.pickler);
  Py_VISIT(e.chunks);
  Py_VISIT(e.buffers);
  Py_VISIT(e.dump);
  Py_VISIT(e.clear_memo);
  return 0;
}

void clear_encoder(FrameEncoder& e) {
  Py_CLEAR(e.pickler);
  Py_CLEAR(e.chunks);
  Py_CLEAR(e.buffers);
  Py_CLEAR(e.dump);
  Py_CLEAR(e.clear_memo);
}

void free_encoder(FrameEncoder& e) {
  clear_encoder(e);
  free_bytes(e.compact);
}

namespace {

Ref do_send(Conn* c, PyObject* obj) {
  if (c->sending) {
    PyErr_SetString(PyExc_RuntimeError, "Connection.send() is already running in another thread");
    return Ref();
  }
  int fd = c->sec ? secured_fd(c, Role::Client) : live_fd(c);
  if (fd < 0) return Ref();
  InFlight in_flight(c, c->sending, c->send_thread);
  Frame frame;
  if (build_frame(c->enc, obj, c->max_frame, frame) < 0) return Ref();
  if (write_all(c, fd, frame.iov) < 0) {
    shut(c);
    return Ref();
  }
  return pyrt::none();
}

Ref do_flush(Conn* c) {
  int fd = c->sec ? secured_fd(c, Role::Client) : live_fd(c);
  if (fd < 0) return Ref();
  if (c->receiving) {
    PyErr_SetString(PyExc_RuntimeError, "Connection.flush() called while recv() runs in another thread");
    return Ref();
  }
  c->rhead = c->rtail = 0;
  if (c->sec && c->sec->tls) {
    const int ended = tls_discard(*c->sec, fd);
    if (ended < 0) return Ref::steal(fail_pending(c));
    if (ended) return Ref::steal(fail(c, PyExc_ConnectionResetError, "connection closed by the peer"));
    return pyrt::none();
  }
  char scratch[4096];
  for (int round = 0; round < 256; ++round) {
    ssize_t r;
    int err;
    // A receive that cannot block: the GIL stays held.
    r = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    err = r < 0 ? errno : 0;
    if (r > 0) continue;  // stale input: discarded
    if (r == 0) return Ref::steal(fail(c, PyExc_ConnectionResetError, "connection closed by the peer"));
    if (err == EAGAIN || err == EWOULDBLOCK) return pyrt::none();
    if (err == EINTR) {
      if (PyErr_CheckSignals() < 0) return Ref();
      continue;
    }
    raise_errno(err);
    shut(c);
    return Ref();
  }
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
  c->rhead = c->rtail = 0;
  Ref r = pyrt::call_method(c->sock, s_close);
  if (!r) return r;
  return pyrt::none();
}
pyrt::Ref m_fileno(pyrt::Func&, PyObject* const* a) {
  Conn* c = as_conn(a[0]);
  if (!c) return Ref();
  return pyrt::call_method(c->sock, pyrt::intern("fileno"));
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
  double t = reinterpret_cast<Conn*>(self)->timeout;
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
    {"_socket", T_OBJECT, offsetof(Conn, sock), READONLY, nullptr},
    {"_onwebs", T_OBJECT, offsetof(Conn, onwebs), 0, nullptr},
    {"_mirrored", T_BOOL, offsetof(Conn, mirrored), READONLY,
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
  Ref fd_obj = pyrt::call_method(sock, s_fileno);
  if (!fd_obj) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "Connection() needs a connected socket, got %.200s", Py_TYPE(sock)->tp_name);
    }
    return nullptr;
  }
  long fd = PyLong_AsLong(fd_obj.get());
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  if (fd < 0) {
    PyErr_SetString(PyExc_OSError, "Connection() needs an open socket: this one is closed");
    return nullptr;
  }
  double t;
  if (read_timeout(sock, &t) < 0) return nullptr;
  // TCP_NODELAY on TCP sockets: a message goes out at once, not after the peer's ACK.
  int domain = 0, stype = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0) {
    len = sizeof stype;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &stype, &len) == 0 &&
        (domain == AF_INET || domain == AF_INET6) && stype == SOCK_STREAM) {
      int one = 1;
      setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Conn* c = reinterpret_cast<Conn*>(alloc(type, 0));
  if (!c) return nullptr;
  c->sock = Ref::borrow(sock).release();
  c->onwebs = pyrt::boolean(false).release();
  c->timeout = t;
  c->max_frame = max_frame;
  c->sec = secure_for_new_channel();
  if (pyrt::interp::socket_head_known && shared.socket_type &&
      PyObject_TypeCheck(sock, reinterpret_cast<PyTypeObject*>(shared.socket_type))) {
    const auto* m = reinterpret_cast<const SocketMirror*>(sock);
    const std::int64_t want_ns = static_cast<std::int64_t>(t * 1e9 + 0.5);
    const std::int64_t diff = m->timeout_ns - want_ns;
    const bool same_timeout = t < 0 ? m->timeout_ns < 0 : m->timeout_ns >= 0 && diff >= -1000 && diff <= 1000;
    c->mirrored = m->fd == fd && m->family == domain && m->type == stype && same_timeout;
  }
  return reinterpret_cast<PyObject*>(c);
}

int conn_traverse(PyObject* self, visitproc visit, void* arg) {
  Conn* c = reinterpret_cast<Conn*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->dict);
  Py_VISIT(c->sock);
  Py_VISIT(c->onwebs);
  return traverse_encoder(c->enc, visit, arg);
}

int conn_clear(PyObject* self) {
  Conn* c = reinterpret_cast<Conn*>(self);
  Py_CLEAR(c->dict);
  Py_CLEAR(c->sock);
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
  std::free(c->rbuf);
  c->rbuf = nullptr;
  free_encoder(c->enc);
  secure_free(c->sec);
  c->sec = nullptr;
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

}  // namespace

namespace {

// The operations that lumo's other modules call straight (pyrt/channel.hpp);
// each gets a channel of exactly the Connection class.
PyObject* api_send(PyObject* conn, PyObject* obj) { return do_send(reinterpret_cast<Conn*>(conn), obj).release(); }
PyObject* api_recv(PyObject* conn) { return do_recv(reinterpret_cast<Conn*>(conn)).release(); }
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
    channel_api.recv = api_recv;
    channel_api.flush = api_flush;
    channel_api.closed = api_closed;
    channel_api.onwebs = api_onwebs;
    channel_api.dict = api_dict;
    channel_api.type = reinterpret_cast<PyTypeObject*>(Ref::borrow(type).release());
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
  shared.connection_type = Ref::borrow(type.get()).release();
  if (export_channel_api(module, type.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "Connection", type.get());
}

}  // namespace ring
