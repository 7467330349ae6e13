// TLS for lumo.ring channels: the standard library's ssl.SSLObject over two
// memory BIOs, driven from C++ over the channel's descriptor, so that the
// channel keeps its own waits (poll with the GIL released, the socket's
// time-out, the handshake's deadline) and its own framing above it. The
// ciphertext is copied once into the incoming BIO; the plaintext is decrypted
// straight into the channel's buffers.
#include "ring/auth.hpp"

#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace ring {
namespace {

constexpr size_t kChunk = 256 * 1024;   // plaintext handed to one SSLObject.write()
constexpr size_t kCoalesce = 64 * 1024; // smaller pieces of a message leave as one write
constexpr size_t kCipherRead = 64 * 1024;

// ssl.SSLContext of each end, or empty; never destroyed (the process ends
// without the GIL after the interpreter is gone).
Ref& g_server = *new Ref;
Ref& g_client = *new Ref;

struct SslNames {
  PyObject* context_type = nullptr;  // ssl.SSLContext
  PyObject* memory_bio = nullptr;
  PyObject* want_read = nullptr;
  PyObject* zero_return = nullptr;
  PyObject* eof = nullptr;
  PyObject* error = nullptr;
} ssl_names;

int load_ssl() {
  if (ssl_names.context_type) return 0;
  Ref ssl = Ref::steal(PyImport_ImportModule("ssl"));
  if (!ssl) return -1;
  const char* names[] = {"SSLContext", "MemoryBIO", "SSLWantReadError", "SSLZeroReturnError", "SSLEOFError", "SSLError"};
  PyObject** slots[] = {&ssl_names.context_type, &ssl_names.memory_bio, &ssl_names.want_read,
                        &ssl_names.zero_return, &ssl_names.eof, &ssl_names.error};
  PyObject* got[6];
  for (int i = 0; i < 6; ++i) {
    got[i] = PyObject_GetAttrString(ssl.get(), names[i]);
    if (!got[i]) {
      for (int j = 0; j < i; ++j) Py_DECREF(got[j]);
      return -1;
    }
  }
  for (int i = 0; i < 6; ++i) *slots[i] = got[i];  // kept for the life of the process
  return 0;
}

// Sends what the TLS layer has produced.
int drain(Secure& s, int fd, const Wait& w) {
  Ref data = pyrt::call_method(s.outgoing.get(), pyrt::intern("read"));
  if (!data) return -1;
  if (!PyBytes_Check(data.get())) {
    PyErr_SetString(PyExc_TypeError, "MemoryBIO.read() returned no bytes");
    return -1;
  }
  const Py_ssize_t n = PyBytes_GET_SIZE(data.get());
  return n ? raw_write(fd, PyBytes_AS_STRING(data.get()), static_cast<size_t>(n), w) : 0;
}

// Hands ciphertext read from the socket to the TLS layer (n == 0: end of stream).
int give(Secure& s, const char* p, size_t n) {
  if (n == 0) {
    Ref r = pyrt::call_method(s.incoming.get(), pyrt::intern("write_eof"));
    return r ? 0 : -1;
  }
  Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(p), static_cast<Py_ssize_t>(n), PyBUF_READ));
  if (!view) return -1;
  Ref r = pyrt::call_method(s.incoming.get(), pyrt::intern("write"), view.get());
  return r ? 0 : -1;
}

// Whether the TLS layer holds nothing to read: no plaintext decrypted ahead and
// no ciphertext waiting in the incoming BIO. 1 empty, 0 not, -1 error.
int nothing_buffered(Secure& s) {
  Ref plain = pyrt::call_method(s.ssl.get(), pyrt::intern("pending"));
  if (!plain) return -1;
  if (PyLong_AsLong(plain.get()) != 0) return 0;
  Ref cipher = pyrt::getattr(s.incoming.get(), pyrt::intern("pending"));
  if (!cipher) return -1;
  return PyLong_AsLong(cipher.get()) == 0;
}

// A TLS error of an established channel as ConnectionAbortedError.
int data_error() {
  pyrt::SavedError e;
  Ref text = pyrt::text(e.value());
  if (!text) return -1;
  PyErr_Format(PyExc_ConnectionAbortedError, "TLS: %U", text.get());
  return -1;
}

// ---------------------------------------------------------------- Python surface

Ref f_set_tls(pyrt::Func&, PyObject* const* a) {
  PyObject* server = a[0];
  PyObject* client = a[1];
  if (server != Py_None || client != Py_None) {
    if (load_ssl() < 0) return Ref();
    const char* which[] = {"server", "client"};
    PyObject* given[] = {server, client};
    for (int i = 0; i < 2; ++i) {
      if (given[i] == Py_None) continue;
      const int ok = PyObject_IsInstance(given[i], ssl_names.context_type);
      if (ok < 0) return Ref();
      if (!ok) {
        PyErr_Format(PyExc_TypeError, "%s must be an ssl.SSLContext or None, not %.200s", which[i],
                     Py_TYPE(given[i])->tp_name);
        return Ref();
      }
    }
  }
  g_server = server == Py_None ? Ref() : Ref::borrow(server);
  g_client = client == Py_None ? Ref() : Ref::borrow(client);
  return pyrt::none();
}

const pyrt::Param p_set_tls[] = {{"server", "ssl.SSLContext | None", pyrt::Check::None, pyrt::dnone()},
                                 {"client", "ssl.SSLContext | None", pyrt::Check::None, pyrt::dnone()}};
const pyrt::FuncDef d_set_tls{
    "set_tls", "set_tls", p_set_tls, f_set_tls,
    "set_tls(server=None, client=None)\n\nFrom now on the server's end of every new channel of the process "
    "speaks TLS with the `server` context, and the client's end with the `client` context; certificates and "
    "host names are checked as the context says, the name checked being the address the client connected "
    "to. Both None turns TLS off. With a key set as well, the key handshake runs inside TLS.",
    "None"};

Ref f_tls_context(pyrt::Func&, PyObject* const* a) {
  Role role;
  if (parse_role(a[0], &role) < 0) return Ref();
  const Ref& context = role == Role::Server ? g_server : g_client;
  return context ? context.copy() : pyrt::none();
}
const pyrt::Param p_tls_context[] = {{"role", "str", pyrt::Check::Str}};
const pyrt::FuncDef d_tls_context{"_tls_context", "_tls_context", p_tls_context, f_tls_context,
                                  "_tls_context(role)\n\nThe ssl.SSLContext that set_tls set for that end "
                                  "('client' or 'server'), or None.",
                                  "ssl.SSLContext | None"};

}  // namespace

bool tls_set() { return g_server || g_client; }

void tls_capture(Secure& s) {
  s.tls_server = g_server.copy();
  s.tls_client = g_client.copy();
}

int add_tls(PyObject* module) {
  for (const pyrt::FuncDef* d : {&d_set_tls, &d_tls_context})
    if (pyrt::add_function(module, *d) < 0) return -1;
  return 0;
}

namespace {

constexpr size_t kHandshakeRead = 16 * 1024;

// The name the client's end checks the server's certificate against: the
// channel's server_hostname, or the address it connected to. None on the
// server's end. Empty with an error set.
Ref tls_host(Role role, PyObject* sock, PyObject* name) {
  if (role == Role::Server) return pyrt::none();
  if (name && PyUnicode_Check(name)) return Ref::borrow(name);
  Ref peer = pyrt::call_method(sock, pyrt::intern("getpeername"));
  if (!peer) return Ref();
  return Ref::steal(PySequence_GetItem(peer.get(), 0));
}

// The server's end reads the peer's first bytes itself: a peer without TLS
// shows itself in its first byte (TLS starts with a handshake record, 0x16)
// and gets a refusal it can read. 0 when they are TLS, handed on to `s`.
int first_record(Secure& s, int fd, PyObject* sock, const Wait& w) {
  char buf[kHandshakeRead];
  const ssize_t n = raw_read(fd, buf, sizeof buf, w);
  if (n < 0) return -1;
  if (n == 0) return raise_auth(Role::Server, sock, "the peer closed the connection before the TLS handshake");
  if (static_cast<unsigned char>(buf[0]) != 0x16) {
    if (buf[0] == 'L') {
      unsigned char r[kRefusal];
      refusal('T', r);
      raise_auth(Role::Server, sock, "the peer does not speak TLS (it has no TLS set)");
      refuse(nullptr, fd, reinterpret_cast<const char*>(r), kRefusal);
      return -1;
    }
    char text[120];
    std::snprintf(text, sizeof text, "the peer sent %02x%02x, which is no TLS handshake",
                  static_cast<unsigned char>(buf[0]), n > 1 ? static_cast<unsigned char>(buf[1]) : 0);
    return raise_auth(Role::Server, sock, text);
  }
  return give(s, buf, static_cast<size_t>(n));
}

// A handshake that TLS refused (the SSLError set): the alert that says why
// goes to the peer before the channel closes, and the error says it too.
int tls_refused(Secure& s, int fd, Role role, PyObject* sock, const Wait& w) {
  pyrt::SavedError e;
  drain(s, fd, w);
  PyErr_Clear();
  Ref text = pyrt::text(e.value());
  if (!text) return -1;
  std::string reason = "TLS: ";
  reason += pyrt::Utf8(text.get()).c_str();
  return raise_auth(role, sock, reason.c_str());
}

// Drives do_handshake() until it is done, moving the records both ways.
int tls_rounds(Secure& s, int fd, Role role, PyObject* sock, const Wait& w) {
  char buf[kHandshakeRead];
  for (int round = 0; round < 64; ++round) {
    Ref done = pyrt::call_method(s.ssl.get(), pyrt::intern("do_handshake"));
    if (!done && !PyErr_ExceptionMatches(ssl_names.want_read))
      return PyErr_ExceptionMatches(ssl_names.error) ? tls_refused(s, fd, role, sock, w) : -1;
    PyErr_Clear();
    if (drain(s, fd, w) < 0) return -1;
    if (done) {
      s.tls = true;
      return 0;
    }
    const ssize_t n = raw_read(fd, buf, sizeof buf, w);
    if (n < 0) return -1;
    if (n == 0)
      return raise_auth(role, sock,
                        role == Role::Client ? "the server closed the connection during the TLS handshake (does it "
                                               "speak TLS?)"
                                             : "the peer closed the connection during the TLS handshake");
    if (give(s, buf, static_cast<size_t>(n)) < 0) return -1;
  }
  return raise_auth(role, sock, "the TLS handshake did not end");
}

}  // namespace

int tls_begin(Secure& s, int fd, Role role, PyObject* sock, PyObject* name, const Wait& w) {
  PyObject* ctx = role == Role::Server ? s.tls_server.get() : s.tls_client.get();
  if (!ctx) return 0;
  if (load_ssl() < 0) return -1;
  s.incoming = pyrt::call(ssl_names.memory_bio);
  s.outgoing = pyrt::call(ssl_names.memory_bio);
  if (!s.incoming || !s.outgoing) return -1;
  Ref host = tls_host(role, sock, name);
  if (!host) return -1;
  s.ssl = pyrt::call_method(ctx, pyrt::intern("wrap_bio"), s.incoming.get(), s.outgoing.get(),
                            role == Role::Server ? Py_True : Py_False, host.get());
  if (!s.ssl) return -1;
  if (role == Role::Server && first_record(s, fd, sock, w) < 0) return -1;
  return tls_rounds(s, fd, role, sock, w);
}

int tls_write_bytes(Secure& s, int fd, const char* p, size_t n, const Wait& w) {
  while (n) {
    const size_t k = n < kChunk ? n : kChunk;
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(p), static_cast<Py_ssize_t>(k), PyBUF_READ));
    if (!view) return -1;
    Ref r = pyrt::call_method(s.ssl.get(), pyrt::intern("write"), view.get());
    if (!r) return PyErr_ExceptionMatches(ssl_names.error) ? data_error() : -1;
    if (drain(s, fd, w) < 0) return -1;
    p += k;
    n -= k;
  }
  return 0;
}

ssize_t tls_read_wait(Secure& s, int fd, char* dst, size_t n, const Wait& w) {
  static thread_local char cipher[kCipherRead];
  // With nothing buffered, the socket comes first: a read of the TLS layer
  // would only raise SSLWantReadError.
  const int empty = nothing_buffered(s);
  if (empty < 0) return -1;
  if (empty) {
    const ssize_t k = raw_read(fd, cipher, sizeof cipher, w);
    if (k < 0 || give(s, cipher, static_cast<size_t>(k)) < 0) return -1;
  }
  for (;;) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(dst, static_cast<Py_ssize_t>(n), PyBUF_WRITE));
    Ref len = Ref::steal(PyLong_FromSize_t(n));
    if (!view || !len) return -1;
    Ref r = pyrt::call_method(s.ssl.get(), pyrt::intern("read"), len.get(), view.get());
    if (r) return PyLong_AsSsize_t(r.get());
    if (PyErr_ExceptionMatches(ssl_names.zero_return) || PyErr_ExceptionMatches(ssl_names.eof)) {
      PyErr_Clear();
      return 0;
    }
    if (!PyErr_ExceptionMatches(ssl_names.want_read))
      return PyErr_ExceptionMatches(ssl_names.error) ? data_error() : -1;
    PyErr_Clear();
    const ssize_t k = raw_read(fd, cipher, sizeof cipher, w);
    if (k < 0 || give(s, cipher, static_cast<size_t>(k)) < 0) return -1;
  }
}

ssize_t tls_read(Secure& s, int fd, char* dst, size_t n, double timeout) {
  Wait w;
  w.per_wait = timeout;
  return tls_read_wait(s, fd, dst, n, w);
}

int tls_write(Secure& s, int fd, std::span<iovec> iov, double timeout) {
  Wait w;
  w.per_wait = timeout;
  std::string small;
  for (const iovec& v : iov) {
    const char* p = static_cast<const char*>(v.iov_base);
    if (small.size() + v.iov_len <= kCoalesce) {
      small.append(p, v.iov_len);
      continue;
    }
    if (!small.empty() && tls_write_bytes(s, fd, small.data(), small.size(), w) < 0) return -1;
    small.clear();
    if (tls_write_bytes(s, fd, p, v.iov_len, w) < 0) return -1;
  }
  return small.empty() ? 0 : tls_write_bytes(s, fd, small.data(), small.size(), w);
}

int tls_discard(Secure& s, int fd) {
  char buf[16 * 1024];
  bool ended = false;
  for (int round = 0; round < 256; ++round) {
    const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r > 0) {
      if (give(s, buf, static_cast<size_t>(r)) < 0) return -1;
      continue;
    }
    if (r == 0) {
      ended = true;
      if (give(s, buf, 0) < 0) return -1;
      break;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (round == 0) {  // nothing arrived: only what the TLS layer buffered can be stale
        const int empty = nothing_buffered(s);
        if (empty != 0) return empty < 0 ? -1 : 0;
      }
      break;
    }
    if (errno == EINTR) {
      if (PyErr_CheckSignals() < 0) return -1;
      continue;
    }
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  Ref size = Ref::steal(PyLong_FromSize_t(sizeof buf));
  if (!size) return -1;
  for (int round = 0; round < 4096; ++round) {
    Ref r = pyrt::call_method(s.ssl.get(), pyrt::intern("read"), size.get());
    if (r) {
      if (PyBytes_Check(r.get()) && PyBytes_GET_SIZE(r.get()) == 0) return 1;
      continue;  // stale input: discarded
    }
    if (PyErr_ExceptionMatches(ssl_names.want_read)) {
      PyErr_Clear();
      break;
    }
    if (PyErr_ExceptionMatches(ssl_names.zero_return) || PyErr_ExceptionMatches(ssl_names.eof)) {
      PyErr_Clear();
      return 1;
    }
    return PyErr_ExceptionMatches(ssl_names.error) ? data_error() : -1;
  }
  return ended ? 1 : 0;
}

}  // namespace ring
