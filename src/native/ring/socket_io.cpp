// The socket under a lumo.ring channel: descriptor, time-out, reads, writes
// and waits. The I/O runs on the socket's descriptor with the GIL released
// around every system call that may block; the socket's time-out bounds every
// wait. A wait interrupted by a signal runs the interpreter's signal handlers,
// so Ctrl+C interrupts it.
#include "ring/socket_io.hpp"
#include "ring/connection.hpp"
#include "pyrt/interp.hpp"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ring {
namespace {

using pyrt::Ref;
using SocketMirror = pyrt::interp::SocketHead;

constexpr size_t kInitialBuffer = 64 * 1024;  // read-ahead buffer of a channel

PyObject* s_fileno;
PyObject* s_close;
PyObject* s_gettimeout;

void intern_socket_names() {
  if (s_fileno) return;
  s_fileno = pyrt::intern("fileno");
  s_close = pyrt::intern("close");
  s_gettimeout = pyrt::intern("gettimeout");
}

// ------------------------------------------------------------- time-outs

// The socket's time-out from its gettimeout() into *t (negative: none).
int read_timeout(PyObject* sock, double* t) {
  Ref timeout = pyrt::call_method(sock, s_gettimeout);
  if (!timeout) return -1;
  *t = -1;
  if (timeout.get() == Py_None) return 0;
  *t = PyFloat_AsDouble(timeout.get());
  return *t == -1 && PyErr_Occurred() ? -1 : 0;
}

// A socket whose time-out was taken off (settimeout(None)) after the channel
// gave its descriptor SO_RCVTIMEO and SO_SNDTIMEO: its calls wait for as long
// as it takes again, the socket's own methods included.
void drop_descriptor_timeouts(Socket& s, int fd) {
  const timeval none{};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  s.fd_timeouts = false;
  s.fd_blocking = false;
}

// A socket with a time-out is non-blocking at the descriptor, so waiting for
// data takes two calls: poll(), then recv(). A channel that waits on such a
// socket turns its descriptor blocking, with the time-out as SO_RCVTIMEO and
// SO_SNDTIMEO, and then waits with a single recv(). The channel's other calls
// pass MSG_DONTWAIT and stay non-blocking, and the socket object's own methods
// still work, since with a time-out they poll before every call.
// Returns whether the descriptor is blocking with the current time-out.
bool blocking_descriptor(Socket& s, int fd) {
  if (s.fd_blocking && s.fd_timeout == s.timeout) return true;
  s.fd_blocking = false;
  double whole = std::floor(s.timeout);
  timeval tv{};
  tv.tv_sec = whole > 1e9 ? 1000000000 : static_cast<time_t>(whole);
  tv.tv_usec = whole > 1e9 ? 0 : static_cast<suseconds_t>(std::ceil((s.timeout - whole) * 1e6));
  if (tv.tv_usec >= 1000000) {
    tv.tv_sec += 1;
    tv.tv_usec = 0;
  }
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;  // zero would mean no time-out at all
  const int fl = fcntl(fd, F_GETFL);
  if (fl < 0) return false;
  s.fd_timeouts = true;  // from here on, whether or not all of it succeeds
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0 ||
      ((fl & O_NONBLOCK) && fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0))
    return false;
  s.fd_blocking = true;
  s.fd_timeout = s.timeout;
  return true;
}

int poll_ms(double timeout) {
  if (timeout < 0) return -1;
  double ms = std::ceil(timeout * 1000.0);
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int raise_timeout(const Socket& s) {
  char text[96];
  std::snprintf(text, sizeof text, "timed out: no progress from the peer in %g s", s.timeout);
  PyErr_SetString(PyExc_TimeoutError, text);
  return -1;
}

// The error of a call in flight that finds the channel closed by another thread.
int raise_closing(const char* op) {
  PyErr_Format(PyExc_ConnectionAbortedError, "the connection was closed while %s() waited", op);
  return -1;
}

// ------------------------------------------------------------- waiting

// What a socket call gave: its result, its errno, and whether the poll()
// before it ran out (ready == 0).
struct Attempt {
  ssize_t r = -1;
  int err = 0;
  int ready = 1;
};

// How a receive waits: in recv() itself, on a descriptor made blocking with
// SO_RCVTIMEO (its EAGAIN ends the wait); or in poll() for POLLIN, before the
// first recv() or only once a recv() finds nothing.
enum class Block : unsigned char { InRecv, PollFirst, TryFirst };

// Runs `op` (a socket call returning ssize_t) and, while it would block, waits
// for `events` with poll() (at most `ms`) and runs it again. The caller has
// released the GIL.
template <class Op>
void attempt(Attempt& a, int fd, short events, bool poll_first, bool poll_when_busy, int ms, Op op) {
  if (poll_first) {
    pollfd p{fd, events, 0};
    a.ready = poll(&p, 1, ms);
    if (a.ready < 0) a.err = errno;
  }
  if (a.ready <= 0) return;
  a.r = op();
  if (a.r < 0) a.err = errno;
  while (poll_when_busy && a.r < 0 && (a.err == EAGAIN || a.err == EWOULDBLOCK)) {
    pollfd p{fd, events, 0};
    a.ready = poll(&p, 1, ms);
    if (a.ready <= 0) {
      if (a.ready < 0) a.err = errno;
      break;
    }
    a.r = op();
    a.err = a.r < 0 ? errno : 0;
  }
}

// The channel's one blocking wait for the peer's bytes: the GIL is released
// and the thread sleeps in the kernel (in recv() or in poll(), as `how` says)
// until input arrives, the time-out runs out or a signal lands; then the bytes
// are received. Every receive of a channel without TLS that may block comes
// through here, so a change to how the channel waits is made in one place.
Attempt wait_readable(const Socket& s, int fd, char* dst, size_t n, int flags, Block how) {
  Attempt a;
  pyrt::NoGil nogil;
  attempt(a, fd, POLLIN, how == Block::PollFirst && s.timeout >= 0, how != Block::InRecv, poll_ms(s.timeout),
          [&] { return recv(fd, dst, n, flags); });
  return a;
}

// Makes `call` (returning an Attempt) go on until it makes progress: the
// signal handlers run after an interrupt, the rest becomes the Python error.
// Returns the call's result (>= 0) or -1 with a Python error set.
template <class Call>
ssize_t run_io(Socket& s, const char* op, Call call) {
  for (;;) {
    const Attempt a = call();
    if (s.closing) return raise_closing(op);
    if (a.r >= 0) return a.r;
    if (a.ready == 0) return raise_timeout(s);
    if (a.err == EINTR) {
      if (PyErr_CheckSignals() < 0) return -1;
      continue;
    }
    raise_errno(a.err);
    return -1;
  }
}

// A wait in recv() on the descriptor made blocking; falls back to poll() when
// the socket was made non-blocking again behind the channel's back
// (settimeout()).
ssize_t read_blocking(Socket& s, int fd, char* dst, size_t n) {
  bool in_recv = true;
  return run_io(s, "recv", [&] {
    if (!in_recv) return wait_readable(s, fd, dst, n, MSG_DONTWAIT, Block::PollFirst);
    Attempt a = wait_readable(s, fd, dst, n, 0, Block::InRecv);
    if (a.r >= 0 || s.closing || (a.err != EAGAIN && a.err != EWOULDBLOCK)) return a;
    // Either the time-out ran out, or the descriptor is non-blocking again.
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && !(fl & O_NONBLOCK)) {
      a.ready = 0;
      return a;
    }
    s.fd_blocking = false;
    in_recv = false;
    return wait_readable(s, fd, dst, n, MSG_DONTWAIT, Block::PollFirst);
  });
}

}  // namespace

// ------------------------------------------------------------- the descriptor

int inspect_socket(PyObject* sock, SocketInfo& out) {
  intern_socket_names();
  Ref fd_obj = pyrt::call_method(sock, s_fileno);
  if (!fd_obj) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "Connection() needs a connected socket, got %.200s", Py_TYPE(sock)->tp_name);
    }
    return -1;
  }
  long fd = PyLong_AsLong(fd_obj.get());
  if (fd == -1 && PyErr_Occurred()) return -1;
  if (fd < 0) {
    PyErr_SetString(PyExc_OSError, "Connection() needs an open socket: this one is closed");
    return -1;
  }
  out.fd = static_cast<int>(fd);
  if (read_timeout(sock, &out.timeout) < 0) return -1;
  // TCP_NODELAY on TCP sockets: a message goes out at once, not after the peer's ACK.
  out.domain = out.type = 0;
  socklen_t len = sizeof out.domain;
  if (getsockopt(out.fd, SOL_SOCKET, SO_DOMAIN, &out.domain, &len) == 0) {
    len = sizeof out.type;
    if (getsockopt(out.fd, SOL_SOCKET, SO_TYPE, &out.type, &len) == 0 &&
        (out.domain == AF_INET || out.domain == AF_INET6) && out.type == SOCK_STREAM) {
      int one = 1;
      setsockopt(out.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
  }
  return 0;
}

void adopt_socket(Socket& s, PyObject* sock, const SocketInfo& info) {
  s.obj = sock;
  s.timeout = info.timeout;
  if (pyrt::interp::socket_head_known && shared.socket_type &&
      PyObject_TypeCheck(sock, reinterpret_cast<PyTypeObject*>(shared.socket_type))) {
    const auto* m = reinterpret_cast<const SocketMirror*>(sock);
    const double t = info.timeout;
    const std::int64_t want_ns = static_cast<std::int64_t>(t * 1e9 + 0.5);
    const std::int64_t diff = m->timeout_ns - want_ns;
    const bool same_timeout = t < 0 ? m->timeout_ns < 0 : m->timeout_ns >= 0 && diff >= -1000 && diff <= 1000;
    s.mirrored = m->fd == info.fd && m->family == info.domain && m->type == info.type && same_timeout;
  }
}

void close_socket(Socket& s) {
  if (!s.obj) return;
  pyrt::SavedError saved;
  Ref r = pyrt::call_method(s.obj, s_close);
  PyErr_Clear();
  if (saved.type()) saved.restore();
}

int current_fd(const Socket& s) {
  if (!s.obj) return -1;
  if (s.mirrored) return reinterpret_cast<const SocketMirror*>(s.obj)->fd;
  pyrt::SavedError saved;
  Ref fd = pyrt::call_method(s.obj, s_fileno);
  const long v = fd ? PyLong_AsLong(fd.get()) : -1;
  PyErr_Clear();
  if (saved.type()) saved.restore();
  return static_cast<int>(v);
}

// The socket is checked at each operation, so that the channel follows
// settimeout() and close() on it whether or not it reads the socket in place.
int live_fd(Socket& s) {
  if (s.mirrored) {
    // The interpreter's socket object, read in place: its descriptor (-1 once
    // closed) and its current time-out, at no cost of a method call.
    const auto* m = reinterpret_cast<const SocketMirror*>(s.obj);
    s.timeout = m->timeout_ns < 0 ? -1.0 : static_cast<double>(m->timeout_ns) / 1e9;
    if (m->fd < 0) return kSocketClosed;
    if (s.fd_timeouts && s.timeout < 0) drop_descriptor_timeouts(s, m->fd);
    return m->fd;
  }
  Ref fd = pyrt::call_method(s.obj, s_fileno);
  if (!fd) return -1;
  long v = PyLong_AsLong(fd.get());
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < 0) return kSocketClosed;
  if (read_timeout(s.obj, &s.timeout) < 0) return -1;
  if (s.fd_timeouts && s.timeout < 0) drop_descriptor_timeouts(s, static_cast<int>(v));
  return static_cast<int>(v);
}

// ------------------------------------------------------------- reads and writes

void raise_errno(int err) {
  switch (err) {
    case ECONNRESET: PyErr_SetString(PyExc_ConnectionResetError, "connection reset by the peer"); return;
    case EPIPE: PyErr_SetString(PyExc_BrokenPipeError, "broken pipe: the peer has closed the connection"); return;
    case ECONNABORTED: PyErr_SetString(PyExc_ConnectionAbortedError, "connection aborted"); return;
    default: errno = err; PyErr_SetFromErrno(PyExc_OSError); return;
  }
}

ssize_t read_some(Socket& s, int fd, char* dst, size_t n, bool wait_first) {
  if (s.sec && s.sec->tls) return tls_read(*s.sec, fd, dst, n, s.timeout);
  if (wait_first && s.timeout != 0) {
    int err = 0;
    const ssize_t r = spin_recv(s.spin, fd, dst, n, s.timeout, &err);
    if (r != kNoSpin && s.closing) return raise_closing("recv");
    if (r >= 0) return r;
    if (r == -1 && err == ETIMEDOUT) return raise_timeout(s);
    if (r == -1 && err != EINTR) {
      raise_errno(err);
      return -1;
    }
    if (r == -1 && PyErr_CheckSignals() < 0) return -1;
  }
  if (wait_first && s.timeout > 0 && blocking_descriptor(s, fd)) return read_blocking(s, fd, dst, n);
  const int flags = s.timeout >= 0 ? MSG_DONTWAIT : 0;
  const Block how = wait_first ? Block::PollFirst : Block::TryFirst;
  return run_io(s, "recv", [&] { return wait_readable(s, fd, dst, n, flags, how); });
}

int discard_input(Socket& s, int fd) {
  if (s.sec && s.sec->tls) return tls_discard(*s.sec, fd);
  char scratch[4096];
  for (int round = 0; round < 256; ++round) {
    // A receive that cannot block: the GIL stays held.
    const ssize_t r = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    const int err = r < 0 ? errno : 0;
    if (r > 0) continue;  // stale input: discarded
    if (r == 0) return 1;
    if (err == EAGAIN || err == EWOULDBLOCK) return 0;
    if (err == EINTR) {
      if (PyErr_CheckSignals() < 0) return kInterrupted;
      continue;
    }
    raise_errno(err);
    return -1;
  }
  return 0;
}

namespace {

// Sends what it can of iov[0, count): the count sent, or -1 with an error set.
ssize_t send_some(Socket& s, int fd, iovec* iov, size_t count, bool first) {
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = count;
  if (first) {
    // First a write that cannot block, with the GIL kept: a message that fits
    // in the socket's buffer (nearly all of them) goes out without the cost
    // of handing the GIL over and back. Only a write that would block waits
    // with the GIL released.
    const ssize_t r = hand_over_gil() ? send_without_gil(fd, &m) : sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return r;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      raise_errno(errno);
      return -1;
    }
  }
  const int flags = MSG_NOSIGNAL | (s.timeout >= 0 ? MSG_DONTWAIT : 0);
  return run_io(s, "send", [&] {
    Attempt a;
    pyrt::NoGil nogil;
    attempt(a, fd, POLLOUT, false, true, poll_ms(s.timeout), [&] { return sendmsg(fd, &m, flags); });
    return a;
  });
}

}  // namespace

int write_all(Socket& s, int fd, std::span<iovec> iov) {
  if (s.sec && s.sec->tls) return tls_write(*s.sec, fd, iov, s.timeout);
  size_t i = 0;
  while (i < iov.size()) {
    const size_t count = iov.size() - i < IOV_MAX ? iov.size() - i : IOV_MAX;
    const ssize_t r = send_some(s, fd, iov.data() + i, count, i == 0);
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

// ------------------------------------------------------------- read-ahead

void free_read_ahead(ReadAhead& r) {
  std::free(r.buf);
  r = ReadAhead{};
}

namespace {

int grow_read_ahead(ReadAhead& r, size_t need) {
  if (r.head > 0 && r.cap - r.head < need) {
    std::memmove(r.buf, r.buf + r.head, r.tail - r.head);
    r.tail -= r.head;
    r.head = 0;
  }
  if (r.cap < need) {
    size_t cap = r.cap ? r.cap : kInitialBuffer;
    while (cap < need) cap *= 2;
    char* p = static_cast<char*>(std::realloc(r.buf, cap));
    if (!p) {
      PyErr_NoMemory();
      return -1;
    }
    r.buf = p;
    r.cap = cap;
  }
  return 0;
}

}  // namespace

int ensure(Socket& s, ReadAhead& r, int fd, size_t need, bool frame_started) {
  if (r.size() >= need) return 0;
  if (grow_read_ahead(r, need) < 0) return -1;
  while (r.size() < need) {
    const bool at_boundary = !frame_started && r.tail == r.head;
    ssize_t got = read_some(s, fd, r.buf + r.tail, r.cap - r.tail, r.tail == r.head);
    if (got < 0) return -1;
    if (got == 0) {
      raise_eof(at_boundary);
      return -1;
    }
    r.tail += static_cast<size_t>(got);
    if (r.size() < need && PyErr_CheckSignals() < 0) return -1;
  }
  return 0;
}

}  // namespace ring
