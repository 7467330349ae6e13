// The socket under a lumo.ring channel: its descriptor, the state of its
// time-out, and the reads and writes on it, each system call that may block
// made with the GIL released. Nothing here knows the frame's layout;
// connection.cpp reads and writes frames through these calls.
#pragma once

#include "ring/auth.hpp"
#include "ring/frame.hpp"
#include "ring/spin.hpp"

#include <sys/types.h>
#include <sys/uio.h>

#include <cstring>
#include <span>

namespace ring {

// The socket of one channel, zero-initialised with the channel. The channel
// owns `obj` and `sec`; this type only uses them.
struct Socket {
  PyObject* obj;       // the Python socket (_socket)
  Secure* sec;         // the key and TLS of a channel made while they are set; null otherwise
  double timeout;      // seconds, as the socket last said; negative: no time-out
  bool mirrored;       // the socket's descriptor and time-out are read in place
  bool fd_timeouts;    // the descriptor carries fd_timeout as SO_RCVTIMEO and SO_SNDTIMEO
  bool fd_blocking;    // ... and was made blocking (until settimeout() makes it non-blocking again)
  double fd_timeout;
  bool closing;        // closed while a call was in flight: the socket closes when the last one leaves
  SpinState spin;      // its recent waits (see spin.hpp)
};

// What a new channel learns of its socket before it exists.
struct SocketInfo {
  int fd;
  double timeout;
  int domain, type;
};
// Checks that `sock` is an open socket and reads its descriptor, time-out and
// kind; sets TCP_NODELAY on a TCP socket. -1 with an error set.
int inspect_socket(PyObject* sock, SocketInfo& out);
// Takes `sock` (a new reference) into `s`, reading it in place when it is the
// interpreter's own socket object with the layout this build knows.
void adopt_socket(Socket& s, PyObject* sock, const SocketInfo& info);

// Closes the socket, keeping any pending error.
void close_socket(Socket& s);
// The descriptor as it stands, or -1; raises nothing.
int current_fd(const Socket& s);

// The descriptor of the socket, checked at each operation, and the socket's
// current time-out read with it: -1 with an error set, or kSocketClosed (no
// error set) for a socket closed behind the channel's back.
constexpr int kSocketClosed = -2;
int live_fd(Socket& s);

// Reads what is available (at least one byte) into dst: the count, 0 at the
// end of the stream, -1 with an error set. `wait_first`: nothing is expected
// to be there yet.
ssize_t read_some(Socket& s, int fd, char* dst, size_t n, bool wait_first);
// Writes every piece (adjusting `iov` as it goes): 0, or -1 with an error set.
int write_all(Socket& s, int fd, std::span<iovec> iov);

// Discards, without blocking, what has arrived on a socket whose peer should
// be waiting for a request: 0 when the peer is still there, 1 when it has
// closed the connection; -1 with an error set, and kInterrupted when a signal
// handler raised (the channel stays as it is then).
constexpr int kInterrupted = -2;
int discard_input(Socket& s, int fd);

// Sets the Python error for a failed socket call.
void raise_errno(int err);

// The channel's read-ahead buffer: bytes received and not yet taken lie in
// buf[head, tail). Zero-initialised; free_read_ahead() releases it.
struct ReadAhead {
  char* buf;
  size_t cap;
  size_t head;
  size_t tail;
  size_t size() const { return tail - head; }
  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(buf + head); }
  void drop() { head = tail = 0; }
};
void free_read_ahead(ReadAhead& r);

// Makes sure `need` bytes are buffered, reading ahead as far as the buffer
// allows. -1 with an error set; at the end of the stream the error says
// whether it came between frames (`frame_started` false, nothing buffered).
int ensure(Socket& s, ReadAhead& r, int fd, size_t need, bool frame_started);

// Fills a target of `n` bytes that grows with what arrives: first from the
// read-ahead buffer, then straight from the socket into the target, so that
// memory follows the bytes that come, never the length a header claims.
// `data()` is the target's memory, `resize(size)` gives it `size` bytes (-1
// with an error set).
constexpr size_t kFirstChunk = 1024 * 1024;  // growth start for large targets
template <class Data, class Resize>
int read_growing(Socket& s, ReadAhead& ra, int fd, size_t n, Data data, Resize resize) {
  size_t size = n < kFirstChunk ? n : kFirstChunk;
  if (resize(size) < 0) return -1;
  size_t have = ra.size();
  if (have > n) have = n;
  if (have > size) {
    size = have;
    if (resize(size) < 0) return -1;
  }
  std::memcpy(data(), ra.buf + ra.head, have);
  ra.head += have;
  size_t filled = have;
  while (filled < n) {
    if (filled == size) {
      size = size * 2 < n ? size * 2 : n;
      if (resize(size) < 0) return -1;
    }
    // In the middle of a large message more bytes are usually there already:
    // read first, and wait only when the socket has nothing.
    ssize_t got = read_some(s, fd, data() + filled, size - filled, false);
    if (got < 0) return -1;
    if (got == 0) {
      raise_eof(false);
      return -1;
    }
    filled += static_cast<size_t>(got);
    if (filled < n && PyErr_CheckSignals() < 0) return -1;
  }
  return 0;
}

}  // namespace ring
