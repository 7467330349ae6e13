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

#include <cstdio>
#include <cstring>
#include <string>

namespace ring {
namespace {

constexpr size_t kNonce = 32;
constexpr size_t kMac = 32;
constexpr size_t kHead = 4;

// hmac and os, imported when a key is first set; owned for the life of the process.
PyObject* g_digest;         // hmac.digest
PyObject* g_compare;        // hmac.compare_digest
PyObject* g_urandom;        // os.urandom
PyObject* g_sha256;         // "sha256"

}  // namespace

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

namespace {

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

}  // namespace

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

void raise_refusal(PyObject* sock, const unsigned char* h) {
  Machine m;  // a refusal from a server that this end did not prove itself to
  m.role = Role::Client;
  m.expect = 'C';
  std::memcpy(m.buf, h, kHead);
  unexpected_head(m);
  raise_auth(Role::Client, sock, m.reason.c_str(), m.required);
}

int add_handshake(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &hs_spec, nullptr));
  if (!type) return -1;
  g_handshake_type = pyrt::new_ref(type.get());
  return pyrt::add_function(module, d_handshake);
}

}  // namespace ring
