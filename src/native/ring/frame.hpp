// The frame of lumo.ring, apart from any socket: its layout and header,
// building one from a message, checking a received one and decoding its
// payload. The blocking channel (connection.cpp) and the encoder and decoder
// for event loops (codec.cpp) call these same functions, so both speak exactly
// one wire format with one set of limits and checks. The byte-order helpers
// and the string hash at the top are the only ones in the native code.
#pragma once

#include "ring/compact.hpp"

#include <sys/uio.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ring {

// ------------------------------------------------------------- bytes on the wire

// Every number on lumo's wire is little-endian, whatever the machine's order.
// One copy of the bytes (a single load or store where the machine is
// little-endian too), reversed on a big-endian machine.
template <class T>
inline T load_le(const unsigned char* p) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(T) == 4) v = __builtin_bswap32(v);
    else v = __builtin_bswap64(v);
  }
  return v;
}
template <class T>
inline void store_le(unsigned char* p, T v) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(T) == 4) v = __builtin_bswap32(v);
    else v = __builtin_bswap64(v);
  }
  std::memcpy(p, &v, sizeof v);
}

// FNV-1a, 32 bits: a hash of bytes that is the same in every process and run
// (never the interpreter's randomised hash()). One step per byte, for callers
// that look at each byte as they hash it.
constexpr std::uint32_t kFnvBasis = 2166136261u;
constexpr std::uint32_t fnv1a_step(std::uint32_t h, unsigned char c) { return (h ^ c) * 16777619u; }
inline std::uint32_t fnv1a(const char* s, std::size_t n) {
  std::uint32_t h = kFnvBasis;
  for (std::size_t i = 0; i < n; ++i) h = fnv1a_step(h, static_cast<unsigned char>(s[i]));
  return h;
}

// ------------------------------------------------------------- layout

// A 16-byte header, then `nbuf` u64 buffer lengths, then the pickle stream (or
// compact payload), then the out-of-band buffers.
//   bytes 0..3   magic "LM", version 1, flags (kFlagCompact or 0)
//   bytes 4..7   u32 number of out-of-band buffers
//   bytes 8..15  u64 length of the pickle stream
// A buffer length with its top bit set (kBytesBuffer) marks a whole bytes
// object of the message sent out of band (received through persistent_load).
constexpr unsigned char kMagic0 = 'L';
constexpr unsigned char kMagic1 = 'M';
constexpr unsigned char kVersion = 1;
constexpr unsigned char kFlagCompact = 1;  // the payload is in the compact encoding instead of pickle
constexpr size_t kHeader = 16;
constexpr unsigned long long kDefaultMaxFrame = 16ULL << 30;  // 16 GiB
constexpr unsigned kMaxBuffers = 1u << 16;
constexpr std::uint64_t kBytesBuffer = 1ull << 63;

// The fixed header of a frame.
struct FrameHead {
  bool compact;         // compact payload
  std::uint32_t nbuf;   // number of out-of-band buffers
  std::uint64_t plen;   // length of the pickle stream (or compact payload)
};
// Writes the kHeader bytes of `head` at `h`.
void write_head(const FrameHead& head, unsigned char* h);
// Checks the kHeader bytes at `h`. -1 with ConnectionAbortedError set on a bad header.
int check_head(const unsigned char* h, FrameHead& out);

// The buffer table of a received frame, checked against the frame limit.
struct FrameTable {
  std::vector<std::uint64_t> lengths;
  std::vector<bool> whole_bytes;  // the buffer is a whole bytes object of the message
  bool any_bytes = false;
};
// Checks the 8 * head.nbuf bytes of the table at `table` (and the stream's
// length) against `max_frame`. -1 with ConnectionAbortedError set when over.
int check_table(const unsigned char* table, const FrameHead& head, unsigned long long max_frame, FrameTable& out);

// ------------------------------------------------------------- encoding

// The state of encoding, kept from message to message: a pickler that writes
// into `chunks` and keeps out-of-band buffers in `buffers`, and the compact
// encoding's buffer. Zero-initialised; released by clear_encoder().
struct FrameEncoder {
  PyObject* pickler;     // made at the first pickled message
  PyObject* chunks;      // what the pickler wrote for the message being encoded
  PyObject* buffers;     // the PickleBuffers (and large bytes) it kept out of band
  PyObject* dump;        // the pickler's bound dump and clear_memo, looked up once
  PyObject* clear_memo;
  Bytes compact;         // the compact encoding of the message being encoded
};
int traverse_encoder(FrameEncoder& e, visitproc visit, void* arg);
void clear_encoder(FrameEncoder& e);  // drops the references; the compact buffer stays
void free_encoder(FrameEncoder& e);   // clear_encoder() and the compact buffer

// Releases a list of buffer views when it goes out of scope.
struct Views {
  std::vector<Py_buffer> v;
  ~Views() {
    for (auto& b : v) PyBuffer_Release(&b);
  }
};

// One encoded message: `iov` lists the frame's pieces in order (header and
// buffer table, pickle stream or compact payload, out-of-band buffers). The
// pieces point into the header storage here, the encoder's chunks and the
// message's own buffers, so a Frame is used where it was built and must not
// be copied; it resets the encoder's pickler when it goes out of scope.
struct Frame {
  std::vector<iovec> iov;
  unsigned char small[kHeader + 8 * 4];
  std::vector<unsigned char> header_big;
  Views views;
  FrameEncoder* pickled = nullptr;  // set when the pickler ran and needs a reset
  Frame() = default;
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  ~Frame();
};

// Encodes `obj` completely into `f`. -1 with a Python error set when it does
// not encode (the pickling error) or is larger than `max_frame`.
int build_frame(FrameEncoder& e, PyObject* obj, unsigned long long max_frame, Frame& f);
// The same for the tuple of `items` (a null item stands for an empty dict):
// it is built (into `tuple`, which must outlive the frame) only when the
// message needs pickle.
int build_tuple_frame(FrameEncoder& e, PyObject* const* items, Py_ssize_t n, unsigned long long max_frame,
                      Frame& f, pyrt::Ref& tuple);

// ------------------------------------------------------------- decoding

// Decodes a whole payload of `len` bytes at `data` with its out-of-band
// buffers (a list, or null when the frame has none). An empty Ref with a
// Python error set when it does not decode: ConnectionAbortedError naming the
// cause, or an interrupt that landed while it ran.
pyrt::Ref decode_payload(const char* data, size_t len, PyObject* buffers, const FrameHead& head,
                         const FrameTable& table);

// The same for a receiver that takes a tuple of `n` items in parts: a compact
// message that is one is decoded into parts[0..n-1] without the tuple (1; see
// compact_decode_tuple); any other message, and every message for n == 0, is
// decoded whole into parts[0] (0).
// -1 with the error set.
int decode_payload_tuple(const char* data, size_t len, PyObject* buffers, const FrameHead& head,
                         const FrameTable& table, Py_ssize_t n, unsigned empty_null, pyrt::Ref* parts);

// Refuses a pickle stream whose numbers or nesting the unpickler must not see
// (pickle_check.hpp): true, with ConnectionAbortedError set, when it is such.
bool refuse_pickle(const char* data, size_t len);

// Turns the error of a message that does not decode into ConnectionAbortedError
// naming the cause; an empty Ref.
pyrt::Ref decode_failed();

// The error of a stream that ends: at a message boundary, or inside a frame.
void raise_eof(bool at_boundary);

// Interns the names that the frame functions use (idempotent).
void intern_frame_names();

// Creates the Encoder and Decoder classes (codec.cpp) and stores them in the module.
int add_codec_classes(PyObject* module);

}  // namespace ring
