// Trust for lumo.ring channels: the process-wide key and handshake deadline,
// the waits and raw I/O of a handshake, the refusal of a peer, and the start
// of a channel's trust (TLS in tls.cpp, then the key handshake of
// handshake.cpp).
#include "ring/auth.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cmath>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace ring {

// Process-wide settings, read by the GIL holder only.
// Never destroyed: the process ends without the GIL after the interpreter is gone.
Ref& g_key = *new Ref;      // bytes, or empty
PyObject* g_auth_error;     // lumo.ring.AuthenticationError (owned for the life of the process)

namespace {

constexpr double kLinger = 2.0;   // seconds a refused peer has to read its refusal
constexpr size_t kLingerBytes = 1 << 20;

double g_deadline = 10.0;   // seconds for a whole handshake

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

Ref f_set_authkey(pyrt::Func&, PyObject* const* a) {
  PyObject* key = a[0];
  if (key == Py_None) {
    g_key = Ref();
    return pyrt::none();
  }
  if (!PyBytes_Check(key)) {
    PyErr_Format(PyExc_TypeError, "the key must be bytes or None, not %.200s", Py_TYPE(key)->tp_name);
    return Ref();
  }
  if (PyBytes_GET_SIZE(key) < 16) {
    PyErr_Format(PyExc_ValueError,
                 "the key has %zd bytes and needs at least 16 (make one with: lumo keygen PATH, or os.urandom(32))",
                 PyBytes_GET_SIZE(key));
    return Ref();
  }
  if (load_crypto() < 0) return Ref();
  Ref copy = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key)));
  if (!copy) return copy;
  g_key = std::move(copy);
  return pyrt::none();
}

const pyrt::Param p_set_authkey[] = {{"key", "bytes | None"}};
const pyrt::FuncDef d_set_authkey{
    "set_authkey", "set_authkey", p_set_authkey, f_set_authkey,
    "set_authkey(key)\n\nFrom now on every new channel of the process proves, before any message, that its "
    "peer holds the same key (a mutual HMAC-SHA256 challenge on fresh random nonces); a peer that does not is "
    "refused before one byte of its messages is decoded. None turns it off. The key is bytes, at least 16 of "
    "them; it is never read back.",
    "None"};

Ref f_set_deadline(pyrt::Func&, PyObject* const* a) {
  const double d = PyFloat_AsDouble(a[0]);
  if (d == -1 && PyErr_Occurred()) return Ref();
  if (!(d > 0 && d < 1e6)) {
    PyErr_SetString(PyExc_ValueError, "the handshake deadline must be a positive number of seconds");
    return Ref();
  }
  const double old = g_deadline;
  g_deadline = d;
  return Ref::steal(PyFloat_FromDouble(old));
}
const pyrt::Param p_set_deadline[] = {{"seconds", "float"}};
const pyrt::FuncDef d_set_deadline{
    "_set_handshake_deadline", "_set_handshake_deadline", p_set_deadline, f_set_deadline,
    "_set_handshake_deadline(seconds)\n\nThe seconds a new channel's whole handshake may take (10 by default); "
    "returns the previous value.",
    "float"};

}  // namespace

// ------------------------------------------------------------- shared helpers

int parse_role(PyObject* role, Role* out) {
  if (PyUnicode_Check(role)) {
    if (PyUnicode_CompareWithASCIIString(role, "client") == 0) {
      *out = Role::Client;
      return 0;
    }
    if (PyUnicode_CompareWithASCIIString(role, "server") == 0) {
      *out = Role::Server;
      return 0;
    }
  }
  PyErr_Format(PyExc_ValueError, "role must be 'client' or 'server', not %R", role);
  return -1;
}


int Wait::ms() const {
  double s = per_wait;
  if (deadline >= 0) {
    double left = deadline - now();
    if (left < 0) left = 0;
    if (s < 0 || left < s) s = left;
  }
  if (s < 0) return -1;
  const double ms = std::ceil(s * 1000.0);
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int Wait::raise_timeout() const {
  char text[96];
  if (deadline >= 0)
    std::snprintf(text, sizeof text, "no complete handshake within %g s", budget);
  else
    std::snprintf(text, sizeof text, "timed out: no progress from the peer in %g s", per_wait);
  PyErr_SetString(PyExc_TimeoutError, text);
  return -1;
}

Wait handshake_wait(Role role, double timeout) {
  Wait w;
  // The server's end keeps its own deadline whatever the socket's time-out:
  // a peer that stays silent cannot hold a thread for longer.
  w.budget = g_deadline;
  if (role == Role::Client && timeout >= 0 && timeout < w.budget) w.budget = timeout;
  w.deadline = now() + w.budget;
  return w;
}

namespace {
// 1 ready, 0 timed out, -1 error set.
int wait_fd(int fd, short events, const Wait& w) {
  for (int i = 0; i < 10000; ++i) {
    const int ms = w.ms();
    int r, err;
    {
      pyrt::NoGil nogil;
      pollfd p{fd, events, 0};
      r = poll(&p, 1, ms);
      err = errno;
    }
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (err != EINTR) {
      errno = err;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    if (PyErr_CheckSignals() < 0) return -1;
  }
  return 0;
}
}  // namespace

int raw_write(int fd, const char* p, size_t n, const Wait& w) {
  while (n) {
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      p += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    const int err = errno;
    if (r < 0 && err == EINTR) {
      if (PyErr_CheckSignals() < 0) return -1;
      continue;
    }
    if (r < 0 && err != EAGAIN && err != EWOULDBLOCK) {
      errno = err;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    const int ready = wait_fd(fd, POLLOUT, w);
    if (ready < 0) return -1;
    if (ready == 0) return w.raise_timeout();
  }
  return 0;
}

ssize_t raw_read(int fd, char* p, size_t n, const Wait& w) {
  for (;;) {
    const ssize_t r = recv(fd, p, n, MSG_DONTWAIT);
    if (r >= 0) return r;
    const int err = errno;
    if (err == EINTR) {
      if (PyErr_CheckSignals() < 0) return -1;
      continue;
    }
    if (err != EAGAIN && err != EWOULDBLOCK) {
      errno = err;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    const int ready = wait_fd(fd, POLLIN, w);
    if (ready < 0) return -1;
    if (ready == 0) return w.raise_timeout();
  }
}

Ref peer_text(PyObject* sock) {
  Ref peer = pyrt::call_method(sock, pyrt::intern("getpeername"));
  if (!peer) {
    PyErr_Clear();
    return Ref::steal(PyUnicode_FromString("an unknown peer"));
  }
  return pyrt::text(peer.get());
}

int raise_auth(Role role, PyObject* sock, const char* reason, bool required) {
  if (role == Role::Client) {
    PyErr_Format(g_auth_error, "%s: %s", required ? "authentication required" : "authentication failed", reason);
    return -1;
  }
  Ref peer = peer_text(sock);
  if (!peer) return -1;
  PyErr_Format(g_auth_error, "authentication failed from %U: %s", peer.get(), reason);
  return -1;
}

void refusal(unsigned char kind, unsigned char out[kRefusal]) {
  std::memset(out, 0, kRefusal);
  out[0] = kHsMagic0;
  out[1] = kHsMagic1;
  out[2] = kHsVersion;
  out[3] = kind;
}

void refuse(Secure* s, int fd, const char* bytes, size_t n) {
  pyrt::SavedError keep;  // whatever is pending stays pending
  Wait w;
  w.budget = kLinger;
  w.deadline = now() + kLinger;
  const int rc = s && s->tls ? tls_write_bytes(*s, fd, bytes, n, w) : raw_write(fd, bytes, n, w);
  PyErr_Clear();
  if (rc < 0) return;
  shutdown(fd, SHUT_WR);
  char sink[4096];
  for (size_t taken = 0; taken < kLingerBytes;) {
    const ssize_t r = raw_read(fd, sink, sizeof sink, w);
    if (r <= 0) break;
    taken += static_cast<size_t>(r);
  }
  PyErr_Clear();
  if (keep.type()) keep.restore();
}

Secure* secure_for_new_channel() {
  if (!g_key && !tls_set()) return nullptr;
  Secure* s = new Secure;
  s->key = g_key.copy();
  tls_capture(*s);
  return s;
}

void secure_free(Secure* s) { delete s; }

int secure_raise_failure(const Secure& s) {
  PyObject* e = s.failure.get();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e)), e);
  return -1;
}

int secure_begin(Secure& s, int fd, Role role, PyObject* sock, PyObject* host, double timeout) {
  const Wait w = handshake_wait(role, timeout);
  int rc = tls_begin(s, fd, role, sock, host, w);
  if (rc == 0 && s.key) rc = key_handshake(s, fd, role, sock, w);
  if (rc == 0) {
    s.ready = true;
    return 0;
  }
  // A socket error or a time-out in the middle of the handshake is the peer's
  // failure to prove itself: say so, with what happened.
  if (!PyErr_ExceptionMatches(g_auth_error) && PyErr_ExceptionMatches(PyExc_OSError)) {
    pyrt::SavedError cause;
    Ref text = pyrt::text(cause.value());
    if (!text) return -1;
    std::string reason = role == Role::Client ? "the connection to the server broke during the handshake: "
                                              : "the connection broke during the handshake: ";
    if (PyErr_GivenExceptionMatches(cause.type(), PyExc_TimeoutError)) reason.clear();
    reason += pyrt::Utf8(text.get()).c_str();
    raise_auth(role, sock, reason.c_str());
  }
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    pyrt::SavedError e;
    s.failure = e.take_value();
    return secure_raise_failure(s);
  }
  return -1;
}

bool foreign_header(Secure* sec, int fd, PyObject* sock, const unsigned char* h) {
  if (h[0] == kHsMagic0 && h[1] == kHsMagic1 && h[2] == kHsVersion) {
    if (h[3] == 'H') {
      // A peer with a key says hello to an end without one.
      unsigned char r[kRefusal];
      refusal('N', r);
      raise_auth(Role::Server, sock, "the peer holds a key and this end has none set");
      refuse(sec, fd, reinterpret_cast<const char*>(r), kRefusal);
      return true;
    }
    raise_refusal(sock, h);
    return true;
  }
  if (h[0] == 0x16 && h[1] == 0x03 && h[2] <= 0x04) {
    raise_auth(Role::Server, sock, "the peer speaks TLS and this end has no TLS set for its side");
    return true;
  }
  return false;
}

int add_security(PyObject* module) {
  g_auth_error = PyErr_NewExceptionWithDoc(
      "lumo.ring.AuthenticationError",
      "The peer did not prove that it holds the key, or TLS refused it; the channel is closed.",
      PyExc_ConnectionAbortedError, nullptr);
  if (!g_auth_error || PyModule_AddObjectRef(module, "AuthenticationError", g_auth_error) < 0) return -1;
  if (pyrt::add_function(module, d_set_authkey) < 0 || add_handshake(module) < 0 ||
      pyrt::add_function(module, d_set_deadline) < 0)
    return -1;
  return add_tls(module);
}

}  // namespace ring
