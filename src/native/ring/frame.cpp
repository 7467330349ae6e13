// Building and checking frames, and decoding their payloads. Encoding is
// pickle protocol 5, or the compact encoding for small plain messages
// (compact.hpp); the out-of-band buffers of a pickled message are oob.cpp's.
#include "ring/frame.hpp"
#include "ring/connection.hpp"
#include "ring/oob.hpp"
#include "ring/pickle_check.hpp"

#include <cstdio>
#include <cstring>

namespace ring {
namespace {

using pyrt::Ref;

PyObject* s_dump;
PyObject* s_clear_memo;
PyObject* s_persistent_id;

void clear_list(PyObject* list) {
  if (list && PyList_GET_SIZE(list)) PyList_SetSlice(list, 0, PyList_GET_SIZE(list), nullptr);
}

Ref ensure_pickler(FrameEncoder& e) {
  if (e.pickler) return Ref::borrow(e.pickler);
  Ref keep = Ref::steal(PyList_New(0));
  if (!keep) return Ref();
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
  Ref persistent_id = make_bytes_id(keep.get());
  if (!persistent_id || pyrt::setattr(p.get(), s_persistent_id, persistent_id.get()) < 0) return Ref();
  Ref dump = pyrt::getattr(p.get(), s_dump);
  Ref clear_memo = pyrt::getattr(p.get(), s_clear_memo);
  if (!dump || !clear_memo) return Ref();
  e.chunks = sink.release();
  e.buffers = keep.release();
  e.dump = dump.release();
  e.clear_memo = clear_memo.release();
  e.pickler = pyrt::new_ref(p.get());
  return p;
}

int raise_over_limit(unsigned long long size, unsigned long long max_frame) {
  PyErr_Format(PyExc_ValueError, "message of %llu bytes is over the frame limit of %llu bytes", size, max_frame);
  return -1;
}

// A message in the compact encoding: the header and the payload.
int compact_frame(FrameEncoder& e, unsigned long long max_frame, Frame& f) {
  if (e.compact.len > max_frame) return raise_over_limit(e.compact.len, max_frame);
  write_head({true, 0, e.compact.len}, f.small);
  f.iov.assign({{f.small, kHeader}, {e.compact.p, e.compact.len}});
  return 0;
}

// The header and buffer table's room for `nbuf` buffers, as the frame's first piece.
unsigned char* header_room(Frame& f, size_t nbuf) {
  unsigned char* header = f.small;
  const size_t header_len = kHeader + 8 * nbuf;
  if (header_len > sizeof f.small) {
    f.header_big.resize(header_len);
    header = f.header_big.data();
  }
  f.iov.push_back({header, header_len});
  return header;
}

// The pickle stream's chunks as pieces of the frame, their length in `plen`. -1 with an error set.
int gather_stream(PyObject* chunks, Frame& f, std::uint64_t& plen) {
  plen = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks); ++i) {
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
    if (n) f.iov.push_back({PyBytes_AS_STRING(ch), n});
  }
  return 0;
}

// A pickled message: header and buffer table, stream, out-of-band buffers.
int pickled_frame(FrameEncoder& e, PyObject* obj, unsigned long long max_frame, Frame& f) {
  Ref pickler = ensure_pickler(e);
  if (!pickler) return -1;
  f.pickled = &e;
  // Encode the whole message before a byte is written: an object that does not
  // pickle raises here and leaves the stream as it was.
  Ref done = pyrt::call(e.dump, obj);
  if (!done) return -1;
  const Py_ssize_t nbuf = PyList_GET_SIZE(e.buffers);
  f.iov.reserve(static_cast<size_t>(PyList_GET_SIZE(e.chunks) + nbuf + 1));
  unsigned char* header = header_room(f, static_cast<size_t>(nbuf));
  std::uint64_t plen;
  if (gather_stream(e.chunks, f, plen) < 0) return -1;
  std::uint64_t total = plen;
  if (gather_buffers(e.buffers, f, header + kHeader, total) < 0) return -1;
  if (total > max_frame) return raise_over_limit(total, max_frame);
  write_head({false, static_cast<std::uint32_t>(nbuf), plen}, header);
  return 0;
}

Ref decode(const char* data, size_t len, PyObject* buffers, bool compact) {
  Ref result;
  if (compact) {
    result = compact_decode(data, len);
    if (!result) return decode_failed();
    return result;
  }
  if (refuse_pickle(data, len)) return Ref();
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

// A header check that fails: ConnectionAbortedError with the text; -1.
int bad_head(const char* text) {
  PyErr_SetString(PyExc_ConnectionAbortedError, text);
  return -1;
}

}  // namespace

void intern_frame_names() {
  if (s_dump) return;
  s_dump = pyrt::intern("dump");
  s_clear_memo = pyrt::intern("clear_memo");
  s_persistent_id = pyrt::intern("persistent_id");
}

// ------------------------------------------------------------- the header

void write_head(const FrameHead& head, unsigned char* h) {
  h[0] = kMagic0;
  h[1] = kMagic1;
  h[2] = kVersion;
  h[3] = head.compact ? kFlagCompact : 0;
  store_le<std::uint32_t>(h + 4, head.nbuf);
  store_le<std::uint64_t>(h + 8, head.plen);
}

int check_head(const unsigned char* h, FrameHead& out) {
  char text[160];
  if (h[0] != kMagic0 || h[1] != kMagic1) {
    std::snprintf(text, sizeof text, "bad frame header %02x%02x%02x%02x: the peer does not speak the lumo protocol",
                  h[0], h[1], h[2], h[3]);
    return bad_head(text);
  }
  out.compact = h[3] == kFlagCompact;
  if (h[3] & ~kFlagCompact) {
    std::snprintf(text, sizeof text, "unsupported frame flags %02x", h[3]);
    return bad_head(text);
  }
  if (h[2] != kVersion) {
    std::snprintf(text, sizeof text, "unsupported frame version %u (this side speaks version %u)", h[2], kVersion);
    return bad_head(text);
  }
  out.nbuf = load_le<std::uint32_t>(h + 4);
  out.plen = load_le<std::uint64_t>(h + 8);
  if (out.compact && out.nbuf) return bad_head("bad frame header: a compact message with buffers");
  if (out.nbuf > kMaxBuffers) {
    std::snprintf(text, sizeof text, "bad frame header: %u out-of-band buffers (at most %u)", out.nbuf, kMaxBuffers);
    return bad_head(text);
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
    const std::uint64_t entry = load_le<std::uint64_t>(table + 8 * i);
    out.whole_bytes[i] = (entry & kBytesBuffer) != 0;
    out.any_bytes = out.any_bytes || out.whole_bytes[i];
    out.lengths[i] = entry & ~kBytesBuffer;
    over = out.lengths[i] > max_frame || total + out.lengths[i] > max_frame;
    total += out.lengths[i];
  }
  if (plen == 0) return bad_head("bad frame header: empty pickle stream");
  if (over) {
    char text[200];
    std::snprintf(text, sizeof text, "frame is over the limit of %llu bytes: the peer claims %llu bytes or more",
                  max_frame, static_cast<unsigned long long>(total));
    return bad_head(text);
  }
  return 0;
}

// ------------------------------------------------------------- encoding

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
  if (compact_encode(obj, e.compact)) return compact_frame(e, max_frame, f);
  return pickled_frame(e, obj, max_frame, f);
}

int build_tuple_frame(FrameEncoder& e, PyObject* const* items, Py_ssize_t n, unsigned long long max_frame,
                      Frame& f, pyrt::Ref& tuple) {
  if (compact_encode_tuple(items, n, e.compact)) return compact_frame(e, max_frame, f);
  tuple = pyrt::message_tuple(items, n);
  if (!tuple) return -1;
  return pickled_frame(e, tuple.get(), max_frame, f);
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

// ------------------------------------------------------------- decoding

bool refuse_pickle(const char* data, size_t len) {
  // Numbers in the stream that would make the unpickler allocate far more than the stream's
  // size (a huge memo index, a length past the end), and containers nested deeper than any
  // pickler writes, are refused before it runs.
  PickleProblem problem;
  if (check_pickle(reinterpret_cast<const unsigned char*>(data), len, &problem)) return false;
  char text[200];
  describe_problem(problem, len, text, sizeof text);
  PyErr_SetString(PyExc_ConnectionAbortedError, text);
  return true;
}

Ref decode_payload(const char* data, size_t len, PyObject* buffers, const FrameHead& head, const FrameTable& table) {
  if (table.any_bytes) return decode_with_bytes(data, len, buffers, table.whole_bytes);
  return decode(data, len, buffers, head.compact);
}

int decode_payload_tuple(const char* data, size_t len, PyObject* buffers, const FrameHead& head,
                         const FrameTable& table, Py_ssize_t n, unsigned empty_null, Ref* parts) {
  if (n && head.compact && !table.any_bytes) {
    const int split = compact_decode_tuple(data, len, n, empty_null, parts);
    if (split < 0) {
      for (Py_ssize_t i = 0; i < n; ++i) parts[i].reset();
      decode_failed();
      return -1;
    }
    if (split) return 1;
  }
  parts[0] = decode_payload(data, len, buffers, head, table);
  return parts[0] ? 0 : -1;
}

// The channel that received the message closes itself.
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

void raise_eof(bool at_boundary) {
  PyErr_SetString(PyExc_ConnectionResetError, at_boundary ? "connection closed by the peer"
                                                          : "connection closed by the peer in the middle of a message");
}

}  // namespace ring
