// lumo.ring's shared-key handshake: a sans-IO state machine that the blocking
// channel drives over its descriptor and that lumo.ring._handshake offers to
// Python (lumo.aio drives the same machine over asyncio streams).
//
// The bytes on the wire. Every message starts with a 4-byte head: "LK", the
// version 1, and a kind byte. Nonces are 32 bytes from os.urandom, proofs are
// HMAC-SHA256 under the shared key.
//   client -> server  'H' hello:     head, Nc                               36 bytes
//   server -> client  'C' challenge: head, Ns, HMAC(key, "lumo server proof" Nc Ns)   68 bytes
//   client -> server  'A' answer:    head, HMAC(key, "lumo client proof" Ns Nc)       36 bytes
//   server -> client  'W' welcome:   head                                    4 bytes
// A refusal is a head of kind 'F' (the proof is wrong), 'N' (this end has no
// key), 'K' (this end needs a key) or 'T' (this end speaks TLS only), padded
// with zeros to 16 bytes. Each proof names who gives it and covers both
// nonces, so an answer recorded from another connection or reflected back to
// its sender proves nothing. 144 bytes pass in all.
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
namespace {

// ------------------------------------------------------------- settings

constexpr size_t kNonce = 32;
constexpr size_t kMac = 32;
constexpr size_t kHead = 4;
constexpr double kLinger = 2.0;   // seconds a refused peer has to read its refusal
constexpr size_t kLingerBytes = 1 << 20;

// Process-wide settings, read by the GIL holder only.
// Never destroyed: the process ends without the GIL after the interpreter is gone.
Ref& g_key = *new Ref;      // bytes, or empty
double g_deadline = 10.0;   // seconds for a whole handshake
PyObject* g_auth_error;     // lumo.ring.AuthenticationError (owned for the life of the process)
PyObject* g_digest;         // hmac.digest
PyObject* g_compare;        // hmac.compare_digest
PyObject* g_urandom;        // os.urandom
PyObject* g_sha256;         // "sha256"

int load_crypto() {
  if (g_digest) return 0;
  Ref hmac = Ref::steal(PyImport_ImportModule("hmac"));
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  if (!hmac || !os) return -1;
  Ref digest = pyrt::getattr(hmac.get(), pyrt::intern("digest"));
  Ref compare = pyrt::getattr(hmac.get(), pyrt::intern("compare_digest"));
  Ref urandom = pyrt::getattr(os.get(), pyrt::intern("urandom"));
  if (!digest || !compare || !urandom) return -1;
  g_sha256 = pyrt::intern("sha256");
  g_compare = compare.release();
  g_urandom = urandom.release();
  g_digest = digest.release();
  return 0;
}

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// ------------------------------------------------------------- the machine

struct Machine {
  Role role = Role::Client;
  Ref key;
  enum class State : unsigned char { Idle, Head, Body, Done, Failed } state = State::Idle;
  unsigned char expect = 0;  // the kind of message awaited
  unsigned char buf[2 * kNonce];
  size_t have = 0, need = 0;
  unsigned char mine[kNonce];
  unsigned char peer[kNonce];
  std::string reason;        // why the peer failed
  bool required = false;     // the failure text says "authentication required"
  std::string farewell;      // what to write to the peer before closing, after a failure
};

const char* peer_noun(const Machine& m) { return m.role == Role::Client ? "the server" : "the peer"; }

int fail(Machine& m, std::string reason, bool required = false) {
  m.state = Machine::State::Failed;
  m.reason = std::move(reason);
  m.required = required;
  return 1;
}

void head(std::string& out, unsigned char kind) {
  const char h[kHead] = {static_cast<char>(kHsMagic0), static_cast<char>(kHsMagic1), static_cast<char>(kHsVersion),
                         static_cast<char>(kind)};
  out.append(h, kHead);
}

int nonce(unsigned char out[kNonce]) {
  Ref n = Ref::steal(PyLong_FromSize_t(kNonce));
  if (!n) return -1;
  Ref b = pyrt::call(g_urandom, n.get());
  if (!b) return -1;
  if (!PyBytes_Check(b.get()) || PyBytes_GET_SIZE(b.get()) != static_cast<Py_ssize_t>(kNonce)) {
    PyErr_SetString(PyExc_RuntimeError, "os.urandom() returned no 32 bytes");
    return -1;
  }
  std::memcpy(out, PyBytes_AS_STRING(b.get()), kNonce);
  return 0;
}

// HMAC-SHA256(key, label first second) as bytes.
Ref proof(const Machine& m, const char* label, const unsigned char* first, const unsigned char* second) {
  std::string msg(label);
  msg.append(reinterpret_cast<const char*>(first), kNonce);
  msg.append(reinterpret_cast<const char*>(second), kNonce);
  Ref b = Ref::steal(PyBytes_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
  if (!b) return b;
  return pyrt::call(g_digest, m.key.get(), b.get(), g_sha256);
}

// Compares a proof that arrived with the one expected, in constant time. 1 equal, 0 not, -1 error.
int same_proof(const Ref& expected, const unsigned char* got) {
  Ref b = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(got), kMac));
  if (!b) return -1;
  Ref r = pyrt::call(g_compare, expected.get(), b.get());
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

const char* const kProofServer = "lumo server proof";
const char* const kProofClient = "lumo client proof";

int start(Machine& m, std::string& out) {
  m.state = Machine::State::Head;
  m.need = kHead;
  m.have = 0;
  if (m.role == Role::Server) {
    m.expect = 'H';
    return 0;
  }
  if (nonce(m.mine) < 0) return -1;
  head(out, 'H');
  out.append(reinterpret_cast<const char*>(m.mine), kNonce);
  m.expect = 'C';
  return 0;
}

// A head that is not the awaited message.
int unexpected_head(Machine& m) {
  const unsigned char* h = m.buf;
  char text[200];
  if (h[0] == kHsMagic0 && h[1] == kHsMagic1 && h[2] == kHsVersion) {
    switch (h[3]) {
      case 'F':
        return fail(m, m.role == Role::Client ? "the server refused this key: the two ends hold different keys"
                                              : "the peer refused the proof of this end: the two ends hold different keys");
      case 'N':
        return fail(m, std::string(peer_noun(m)) + " has no key set: give both ends the same key");
      case 'K':
        return fail(m, std::string(peer_noun(m)) + " only serves peers that hold its key", true);
      case 'T':
        return fail(m, std::string(peer_noun(m)) + " speaks TLS only: set TLS on this end too", true);
      default:
        std::snprintf(text, sizeof text, "%s sent handshake message '%c' where '%c' belongs", peer_noun(m),
                      h[3] >= 32 && h[3] < 127 ? h[3] : '?', m.expect);
        return fail(m, text);
    }
  }
  if (m.role == Role::Server && h[0] == 'L' && h[1] == 'M') {
    unsigned char r[kRefusal];
    refusal('K', r);
    m.farewell.assign(reinterpret_cast<const char*>(r), kRefusal);
    return fail(m, "the peer sent a message without proving that it holds the key (it has no key set)");
  }
  if (h[0] == 0x16 && h[1] == 0x03)
    return fail(m, std::string(peer_noun(m)) + " speaks TLS and this end has no TLS set for its side");
  std::snprintf(text, sizeof text, "%s sent %02x%02x%02x%02x, which is no lumo handshake", peer_noun(m), h[0], h[1],
                h[2], h[3]);
  return fail(m, text);
}

// A whole message body of the awaited kind has arrived.
int body(Machine& m, std::string& out) {
  switch (m.expect) {
    case 'H': {  // server: the client's nonce
      std::memcpy(m.peer, m.buf, kNonce);
      if (nonce(m.mine) < 0) return -1;
      Ref mac = proof(m, kProofServer, m.peer, m.mine);
      if (!mac) return -1;
      head(out, 'C');
      out.append(reinterpret_cast<const char*>(m.mine), kNonce);
      out.append(PyBytes_AS_STRING(mac.get()), kMac);
      m.expect = 'A';
      break;
    }
    case 'C': {  // client: the server's nonce and proof
      std::memcpy(m.peer, m.buf, kNonce);
      Ref want = proof(m, kProofServer, m.mine, m.peer);
      if (!want) return -1;
      const int same = same_proof(want, m.buf + kNonce);
      if (same < 0) return -1;
      if (!same) return fail(m, "the server does not hold this key (the two ends hold different keys)");
      Ref mac = proof(m, kProofClient, m.peer, m.mine);
      if (!mac) return -1;
      head(out, 'A');
      out.append(PyBytes_AS_STRING(mac.get()), kMac);
      m.expect = 'W';
      break;
    }
    case 'A': {  // server: the client's proof
      Ref want = proof(m, kProofClient, m.mine, m.peer);
      if (!want) return -1;
      const int same = same_proof(want, m.buf);
      if (same < 0) return -1;
      if (!same) {
        unsigned char r[kRefusal];
        refusal('F', r);
        m.farewell.assign(reinterpret_cast<const char*>(r), kRefusal);
        return fail(m, "the peer does not hold the key (the two ends hold different keys)");
      }
      head(out, 'W');
      m.state = Machine::State::Done;
      return 0;
    }
    default:  // 'W', client: welcomed
      m.state = Machine::State::Done;
      return 0;
  }
  m.state = Machine::State::Head;
  m.need = kHead;
  m.have = 0;
  return 0;
}

// Takes n bytes (at most what the machine wants; 0 is the end of the stream).
// 0: going on or done; 1: the peer failed (reason set); -1: a Python error.
int feed(Machine& m, const unsigned char* data, size_t n, std::string& out) {
  if (n == 0) {
    std::string r = std::string(peer_noun(m)) + " closed the connection during the handshake";
    if (m.role == Role::Server && m.expect == 'A') r += " (does it hold a different key?)";
    return fail(m, r);
  }
  std::memcpy(m.buf + m.have, data, n);
  m.have += n;
  if (m.have < m.need) return 0;
  if (m.state == Machine::State::Head) {
    const unsigned char* h = m.buf;
    if (h[0] != kHsMagic0 || h[1] != kHsMagic1 || h[2] != kHsVersion || h[3] != m.expect) return unexpected_head(m);
    m.state = Machine::State::Body;
    m.have = 0;
    m.need = m.expect == 'H' || m.expect == 'A' ? kNonce : m.expect == 'C' ? 2 * kNonce : 0;
    if (m.need) return 0;
  }
  return body(m, out);
}

size_t wanted(const Machine& m) {
  return m.state == Machine::State::Head || m.state == Machine::State::Body ? m.need - m.have : 0;
}

std::string failure_text(const Machine& m) {
  return std::string(m.required ? "authentication required: " : "authentication failed: ") + m.reason;
}

// ------------------------------------------------------------- lumo.ring._handshake

struct PyHandshake {
  PyObject_HEAD
  Machine* m;
  bool started;
};

PyObject* g_handshake_type;

PyHandshake* as_handshake(PyObject* o) { return reinterpret_cast<PyHandshake*>(o); }

PyObject* bytes_of(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* raise_machine_failure(const Machine& m) {
  PyErr_SetString(g_auth_error, failure_text(m).c_str());
  return nullptr;
}

PyObject* hs_start(PyObject* self, PyObject*) {
  PyHandshake* h = as_handshake(self);
  if (h->started) {
    PyErr_SetString(PyExc_RuntimeError, "start() was called already: call feed() with what the peer sends");
    return nullptr;
  }
  std::string out;
  h->started = true;
  if (start(*h->m, out) < 0) return nullptr;
  return bytes_of(out);
}

PyObject* hs_feed(PyObject* self, PyObject* data) {
  PyHandshake* h = as_handshake(self);
  Machine& m = *h->m;
  if (!h->started) {
    PyErr_SetString(PyExc_RuntimeError, "call start() first and write what it returns");
    return nullptr;
  }
  if (m.state == Machine::State::Failed) return raise_machine_failure(m);
  if (m.state == Machine::State::Done) {
    PyErr_SetString(PyExc_RuntimeError, "the handshake is over: what follows are messages");
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const size_t n = static_cast<size_t>(view.len);
  if (n > wanted(m)) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError, "feed() got %zu bytes and the handshake wants at most %zu now (read h.wanted bytes)",
                 n, wanted(m));
    return nullptr;
  }
  std::string out;
  const int rc = feed(m, static_cast<const unsigned char*>(view.buf), n, out);
  PyBuffer_Release(&view);
  if (rc < 0) return nullptr;
  if (rc > 0) return raise_machine_failure(m);
  return bytes_of(out);
}

PyObject* hs_done(PyObject* self, void*) { return PyBool_FromLong(as_handshake(self)->m->state == Machine::State::Done); }
PyObject* hs_wanted(PyObject* self, void*) { return PyLong_FromSize_t(wanted(*as_handshake(self)->m)); }
PyObject* hs_farewell(PyObject* self, void*) { return bytes_of(as_handshake(self)->m->farewell); }

void hs_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_handshake(self)->m;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef hs_methods[] = {
    {"start", hs_start, METH_NOARGS, "start() -> bytes\n\nThe bytes to write first (b'' for the server's end)."},
    {"feed", hs_feed, METH_O,
     "feed(data) -> bytes\n\nTake at most `wanted` bytes read from the peer (b'' for the end of the stream) and "
     "return the bytes to write next. Raises AuthenticationError (a ConnectionError) when the peer fails; "
     "`farewell` then holds what to write to it before closing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef hs_getset[] = {
    {"done", hs_done, nullptr, "True once both ends have proved that they hold the key.", nullptr},
    {"wanted", hs_wanted, nullptr, "How many more bytes the handshake needs now (0 once it is over).", nullptr},
    {"farewell", hs_farewell, nullptr, "After a failure: the refusal to write to the peer before closing (may be b'').",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hs_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(hs_dealloc)},
    {Py_tp_methods, hs_methods},
    {Py_tp_getset, hs_getset},
    {Py_tp_doc, const_cast<char*>("One end of the shared-key handshake, without I/O (made by lumo.ring._handshake).")},
    {0, nullptr},
};

PyType_Spec hs_spec = {"lumo.ring._Handshake", sizeof(PyHandshake), 0, Py_TPFLAGS_DEFAULT, hs_slots};

Ref f_handshake(pyrt::Func&, PyObject* const* a) {
  Role role;
  if (parse_role(a[0], &role) < 0) return Ref();
  if (!g_key) return pyrt::none();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(g_handshake_type), Py_tp_alloc));
  Ref obj = Ref::steal(alloc(reinterpret_cast<PyTypeObject*>(g_handshake_type), 0));
  if (!obj) return obj;
  PyHandshake* h = as_handshake(obj.get());
  h->m = new Machine;
  h->m->role = role;
  h->m->key = g_key.copy();
  return obj;
}

const pyrt::Param p_handshake[] = {{"role", "str", pyrt::Check::Str}};
const pyrt::FuncDef d_handshake{
    "_handshake", "_handshake", p_handshake, f_handshake,
    "_handshake(role)\n\nOne end ('client' or 'server') of the shared-key handshake as a machine without I/O, "
    "with the key set now; None when no key is set (then nothing of it goes on the wire).\n\n"
    "    h = _handshake('client')\n"
    "    out = h.start()                 # write it\n"
    "    while not h.done:\n"
    "        out = h.feed(read(h.wanted))  # read up to h.wanted bytes, write what comes back\n\n"
    "feed() raises AuthenticationError, whose text is the one the blocking channel gives, when the peer "
    "fails. The bytes: every message starts with b'LK', version 1 and a kind byte. The client sends 'H' and "
    "32 random bytes Nc; the server answers 'C', 32 random bytes Ns and HMAC-SHA256(key, b'lumo server proof' "
    "+ Nc + Ns); the client answers 'A' and HMAC-SHA256(key, b'lumo client proof' + Ns + Nc); the server "
    "ends with 'W'. A refusal is 'F' (wrong proof), 'N' (no key at that end), 'K' (a key is needed) or 'T' "
    "(TLS is needed), padded with zeros to 16 bytes.",
    "_Handshake | None"};

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

// Runs the key machine over the channel's transport.
int key_handshake(Secure& s, int fd, Role role, PyObject* sock, const Wait& w) {
  Machine m;
  m.role = role;
  m.key = s.key.copy();
  std::string out;
  if (start(m, out) < 0) return -1;
  for (int round = 0; round < 32; ++round) {  // four messages, each read in at most a few pieces
    if (!out.empty()) {
      const int rc = s.tls ? tls_write_bytes(s, fd, out.data(), out.size(), w) : raw_write(fd, out.data(), out.size(), w);
      if (rc < 0) return -1;
      out.clear();
    }
    if (m.state == Machine::State::Done) return 0;
    unsigned char buf[2 * kNonce];
    const size_t want = wanted(m);
    // Exactly what the handshake wants: what follows belongs to the messages.
    const ssize_t r = s.tls ? tls_read_wait(s, fd, reinterpret_cast<char*>(buf), want, w)
                            : raw_read(fd, reinterpret_cast<char*>(buf), want, w);
    if (r < 0) return -1;
    const int rc = feed(m, buf, static_cast<size_t>(r), out);
    if (rc < 0) return -1;
    if (rc > 0) {
      raise_auth(role, sock, m.reason.c_str(), m.required);  // names the peer while it is still connected
      if (!m.farewell.empty()) refuse(&s, fd, m.farewell.data(), m.farewell.size());
      return -1;
    }
  }
  return raise_auth(role, sock, "the handshake did not end");
}

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

bool foreign_header(Secure* sec, int fd, PyObject* sock, const unsigned char* h, double timeout) {
  (void)timeout;
  if (h[0] == kHsMagic0 && h[1] == kHsMagic1 && h[2] == kHsVersion) {
    if (h[3] == 'H') {
      // A peer with a key says hello to an end without one.
      unsigned char r[kRefusal];
      refusal('N', r);
      raise_auth(Role::Server, sock, "the peer holds a key and this end has none set");
      refuse(sec, fd, reinterpret_cast<const char*>(r), kRefusal);
      return true;
    }
    Machine m;  // a refusal from a server that this end did not prove itself to
    m.role = Role::Client;
    m.expect = 'C';
    std::memcpy(m.buf, h, kHead);
    unexpected_head(m);
    raise_auth(Role::Client, sock, m.reason.c_str(), m.required);
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
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &hs_spec, nullptr));
  if (!type) return -1;
  g_handshake_type = Ref::borrow(type.get()).release();
  for (const pyrt::FuncDef* d : {&d_set_authkey, &d_handshake, &d_set_deadline})
    if (pyrt::add_function(module, *d) < 0) return -1;
  return add_tls(module);
}

}  // namespace ring
