// Trust for lumo.ring channels: the shared-key handshake and TLS.
//
// A channel made while a key or TLS is set gets a `Secure` of its own, and
// proves its peer before its first message: TLS first (when set for its
// side), then the key handshake, inside TLS when both are on. A channel made
// while neither is set has no `Secure` and runs exactly as before.
//
// Ownership: every Python object here is held by a pyrt::Ref; a Secure is
// owned by its channel (secure_free in the channel's dealloc, with the GIL).
#pragma once

#include "pyrt/pyrt.hpp"

#include <sys/types.h>
#include <sys/uio.h>

#include <span>

namespace ring {

// Which end of the connection a channel is. A channel learns it from its first
// operation: recv() makes it the server's end, send() or flush() the client's.
enum class Role : unsigned char { Client, Server };

using pyrt::Ref;

struct Secure {
  Ref key;          // bytes, or empty: no key handshake
  Ref tls_server;   // ssl.SSLContext for the server's end, or empty
  Ref tls_client;   // ... for the client's end
  Ref ssl;          // ssl.SSLObject once TLS runs on this channel
  Ref incoming;     // its ssl.MemoryBIO objects
  Ref outgoing;
  Ref failure;      // the error that ended the handshake; every later operation raises it again
  bool ready = false;  // the handshake has passed
  bool tls = false;    // messages go through `ssl`
};

// The trust a new channel gets: null when neither a key nor TLS is set.
Secure* secure_for_new_channel();
void secure_free(Secure* s);

// Runs the handshake of a channel whose first operation is now. 0 when it has
// passed; -1 with an error set (AuthenticationError for a peer that failed),
// which is also kept in `failure`.
int secure_begin(Secure& s, int fd, Role role, PyObject* sock, PyObject* host, double timeout);

// Raises the error that ended the channel's handshake again.
int secure_raise_failure(const Secure& s);

// A frame header that is not lumo's on a channel: a handshake message or TLS
// where a message belongs. Sets the error that says so and returns true;
// false for anything else. `sec` may be null (a channel without trust).
bool foreign_header(Secure* sec, int fd, PyObject* sock, const unsigned char* head);

// Message I/O of a channel with TLS, `timeout` bounding every wait (negative:
// none). tls_read returns the count read (0: end of stream) or -1 with an
// error set; tls_write and tls_discard return 0 or -1; tls_discard returns 1
// when the peer has closed the connection.
ssize_t tls_read(Secure& s, int fd, char* dst, size_t n, double timeout);
int tls_write(Secure& s, int fd, std::span<iovec> iov, double timeout);
int tls_discard(Secure& s, int fd);

// Adds set_authkey, set_tls, AuthenticationError and the private _handshake,
// _tls_context and _set_handshake_deadline to the module.
int add_security(PyObject* module);

// ------------------------------------------------------------ shared by auth.cpp, handshake.cpp and tls.cpp


// How long socket waits may last: each at most `per_wait` seconds, all of them
// together until `deadline` (monotonic seconds). Negative: no bound.
struct Wait {
  double per_wait = -1;
  double deadline = -1;
  double budget = 0;  // the seconds the deadline allowed, for the error text
  int ms() const;
  int raise_timeout() const;  // TimeoutError; -1
};
Wait handshake_wait(Role role, double timeout);

// Writes all of p (0) or fails (-1, error set); reads what is there, at least
// one byte (> 0), 0 at end of stream, -1 with an error set.
int raw_write(int fd, const char* p, size_t n, const Wait& w);
ssize_t raw_read(int fd, char* p, size_t n, const Wait& w);

// The peer's address as the server's log shows it: str(sock.getpeername()).
Ref peer_text(PyObject* sock);

// Raises AuthenticationError: "authentication failed from <peer>: <reason>"
// on the server's end, "<verdict>: <reason>" on the client's.
int raise_auth(Role role, PyObject* sock, const char* reason, bool required = false);

// Writes `bytes` to a peer that is refused, then closes the sending half and
// takes in what the peer still sends for a short while, so that the refusal is
// read before the connection ends instead of being lost to a reset.
void refuse(Secure* s, int fd, const char* bytes, size_t n);

// The handshake's own refusal messages (16 bytes, so that a channel without a
// key reads a whole frame header).
constexpr unsigned char kHsMagic0 = 'L';
constexpr unsigned char kHsMagic1 = 'K';
constexpr unsigned char kHsVersion = 1;
constexpr size_t kRefusal = 16;
void refusal(unsigned char kind, unsigned char out[kRefusal]);

// 'client' or 'server' as a Role; -1 with ValueError for anything else.
int parse_role(PyObject* role, Role* out);

// Whether set_tls has set a context; copies the contexts into a new channel's Secure.
bool tls_set();
void tls_capture(Secure& s);
int add_tls(PyObject* module);  // set_tls, _tls_context

// TLS handshake of a channel whose side has a context; 0 also when it has none.
int tls_begin(Secure& s, int fd, Role role, PyObject* sock, PyObject* host, const Wait& w);
int tls_write_bytes(Secure& s, int fd, const char* p, size_t n, const Wait& w);
ssize_t tls_read_wait(Secure& s, int fd, char* dst, size_t n, const Wait& w);

// The key that new channels get (bytes, or empty; set by set_authkey) and
// lumo.ring.AuthenticationError (made at module exec), kept for the process.
extern Ref& g_key;
extern PyObject* g_auth_error;

// Imports what the key handshake computes with (hmac, os.urandom), once.
int load_crypto();

// Runs the key handshake over the channel's transport (inside TLS when it
// runs): 0 when the peer has proved itself, -1 with an error set.
int key_handshake(Secure& s, int fd, Role role, PyObject* sock, const Wait& w);

// Raises AuthenticationError for the handshake head `h` that a server sent in
// place of a frame to a client without a key: the refusal, in words.
void raise_refusal(PyObject* sock, const unsigned char* h);

// Adds _handshake and its type to the module.
int add_handshake(PyObject* module);

}  // namespace ring
