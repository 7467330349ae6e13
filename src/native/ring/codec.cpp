// lumo.ring.Encoder and lumo.ring.Decoder: the channel's frames without a
// socket, for event loops that do their own I/O (lumo.aio). They build and
// check frames with the same functions as Connection.send and recv
// (frame.hpp), so the bytes, the limits and the errors are the same.
#include "ring/frame.hpp"
#include "pyrt/interp.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace ring {
namespace {

using pyrt::Ref;

constexpr size_t kMergeStream = 64 * 1024;  // streams up to this size leave in one bytes object with the header
constexpr size_t kKeepBuffer = 1024 * 1024;  // a decoder keeps a frame buffer up to this size between frames
constexpr size_t kFirstGrowth = 64 * 1024;

PyObject* encoder_type;
PyObject* decoder_type;

// ------------------------------------------------------------- Encoder

struct Enc {
  PyObject_HEAD
  FrameEncoder enc;
  unsigned long long max_frame;
  bool busy;
};

Enc* as_enc(PyObject* o) {
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(encoder_type))) {
    PyErr_Format(PyExc_TypeError, "expected an Encoder, got %.200s", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<Enc*>(o);
}

Ref bytes_of(std::span<const iovec> pieces) {
  size_t n = 0;
  for (const iovec& v : pieces) n += v.iov_len;
  Ref b = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!b) return b;
  char* p = PyBytes_AS_STRING(b.get());
  for (const iovec& v : pieces) {
    std::memcpy(p, v.iov_base, v.iov_len);
    p += v.iov_len;
  }
  return b;
}

// The frame's pieces as Python objects: the header (with a small stream or
// compact payload copied behind it), the pickle stream's chunks as they are,
// and each out-of-band buffer as a flat view of the message's own memory.
Ref frame_list(const Frame& f, FrameEncoder& e) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return out;
  if (!f.pickled) {
    Ref b = bytes_of(f.iov);
    if (!b || PyList_Append(out.get(), b.get()) < 0) return Ref();
    return out;
  }
  PyObject* chunks = e.chunks;
  const Py_ssize_t nchunks = PyList_GET_SIZE(chunks);
  size_t plen = 0;
  size_t stream_pieces = 0;  // iov entries of the stream (empty chunks have none)
  for (Py_ssize_t i = 0; i < nchunks; ++i) {
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(PyList_GET_ITEM(chunks, i)));
    plen += n;
    stream_pieces += n != 0;
  }
  if (plen <= kMergeStream) {
    Ref b = bytes_of(std::span<const iovec>(f.iov.data(), 1 + stream_pieces));
    if (!b || PyList_Append(out.get(), b.get()) < 0) return Ref();
  } else {
    Ref b = bytes_of(std::span<const iovec>(f.iov.data(), 1));
    if (!b || PyList_Append(out.get(), b.get()) < 0) return Ref();
    for (Py_ssize_t i = 0; i < nchunks; ++i) {
      PyObject* ch = PyList_GET_ITEM(chunks, i);
      if (PyBytes_GET_SIZE(ch) && PyList_Append(out.get(), ch) < 0) return Ref();
    }
  }
  PyObject* buffers = e.buffers;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(buffers); ++i) {
    PyObject* b = PyList_GET_ITEM(buffers, i);
    // A PickleBuffer's raw() is a one-dimensional byte view of the same memory,
    // which transports can slice by bytes; a large bytes object goes as it is.
    Ref piece = PyBytes_CheckExact(b) ? Ref::borrow(b) : pyrt::call_method(b, pyrt::intern("raw"));
    if (!piece || PyList_Append(out.get(), piece.get()) < 0) return Ref();
  }
  return out;
}

Ref m_encode(pyrt::Func&, PyObject* const* a) {
  Enc* e = as_enc(a[0]);
  if (!e) return Ref();
  if (e->busy) {
    PyErr_SetString(PyExc_RuntimeError, "Encoder.encode() is already running (called again while it pickles)");
    return Ref();
  }
  e->busy = true;
  Ref out;
  {
    Frame frame;
    if (build_frame(e->enc, a[1], e->max_frame, frame) == 0) out = frame_list(frame, e->enc);
  }
  e->busy = false;
  return out;
}

const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_self_obj[] = {{"self"}, {"obj"}};
const pyrt::Param p_self_data[] = {{"self"}, {"data"}};

const pyrt::FuncDef d_encode{
    "encode", "Encoder.encode", p_self_obj, m_encode,
    "encode(obj)\n\nEncode one whole object into the frame that Connection.send() writes, as a list of "
    "bytes-like pieces for writelines() or sendmsg(). Out-of-band buffers are views of the object's own "
    "memory: keep it unchanged until the pieces are written."};

PyObject* enc_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"max_frame", nullptr};
  unsigned long long max_frame = kDefaultMaxFrame;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|K:Encoder", const_cast<char**>(kwlist), &max_frame)) return nullptr;
  intern_frame_names();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Enc* e = reinterpret_cast<Enc*>(alloc(type, 0));
  if (!e) return nullptr;
  e->max_frame = max_frame;
  return reinterpret_cast<PyObject*>(e);
}

int enc_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_encoder(reinterpret_cast<Enc*>(self)->enc, visit, arg);
}
int enc_clear(PyObject* self) {
  clear_encoder(reinterpret_cast<Enc*>(self)->enc);
  return 0;
}
void enc_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  free_encoder(reinterpret_cast<Enc*>(self)->enc);
  type->tp_free(self);
  Py_DECREF(type);
}
PyObject* enc_max_frame(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<Enc*>(self)->max_frame);
}

PyGetSetDef enc_getset[] = {
    {"max_frame", enc_max_frame, nullptr, "The largest frame, in bytes, that encode() makes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot enc_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(enc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(enc_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(enc_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(enc_clear)},
    {Py_tp_getset, enc_getset},
    {Py_tp_doc, const_cast<char*>("Encoder(max_frame=16 GiB)\n--\n\n"
                                  "Builds the frames of Connection.send() without a socket.")},
    {0, nullptr},
};

PyType_Spec enc_spec = {"lumo.ring.Encoder", sizeof(Enc), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, enc_slots};

// ------------------------------------------------------------- Decoder

// Where the frame being read stands.
enum class Phase : unsigned char { Head, Table, Stream, Buffers };

struct Dec {
  PyObject_HEAD
  unsigned long long max_frame;
  Phase phase;
  bool busy;
  char* buf;        // header, buffer table and stream of the frame being read
  size_t len;
  size_t cap;
  FrameHead head;
  FrameTable* table;
  PyObject* buffers;  // the frame's out-of-band buffers, filled in order
  std::uint32_t cur;  // the buffer being filled
  PyObject* target;   // ... a bytes or bytearray object that grows with what arrives
  size_t filled;
  PyObject* error;    // the error of a bad frame: every later feed() raises it
};

Dec* as_dec(PyObject* o) {
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(decoder_type))) {
    PyErr_Format(PyExc_TypeError, "expected a Decoder, got %.200s", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<Dec*>(o);
}

// Makes room for `want` bytes in the frame buffer, growing with what arrives
// (never straight to what a header claims).
int reserve(Dec* d, size_t want) {
  if (want <= d->cap) return 0;
  size_t cap = d->cap ? d->cap * 2 : kFirstGrowth;
  if (cap < want) cap = want;
  char* p = static_cast<char*>(std::realloc(d->buf, cap));
  if (!p) {
    PyErr_NoMemory();
    return -1;
  }
  d->buf = p;
  d->cap = cap;
  return 0;
}

// Grows the buffer being filled to hold `want` of its `total` bytes.
int grow_target(Dec* d, size_t want, size_t total) {
  const Py_ssize_t size = PyBytes_Check(d->target) ? PyBytes_GET_SIZE(d->target) : PyByteArray_GET_SIZE(d->target);
  if (static_cast<size_t>(size) >= want) return 0;
  size_t next = static_cast<size_t>(size) * 2;
  if (next < want) next = want;
  if (next > total) next = total;
  if (PyBytes_Check(d->target)) return pyrt::interp::resize_bytes(&d->target, static_cast<Py_ssize_t>(next));
  return PyByteArray_Resize(d->target, static_cast<Py_ssize_t>(next));
}

char* target_data(Dec* d) {
  return PyBytes_Check(d->target) ? PyBytes_AS_STRING(d->target) : PyByteArray_AS_STRING(d->target);
}

void reset_frame(Dec* d) {
  d->phase = Phase::Head;
  d->len = 0;
  d->cur = 0;
  d->filled = 0;
  Py_CLEAR(d->buffers);
  Py_CLEAR(d->target);
  if (d->cap > kKeepBuffer) {
    std::free(d->buf);
    d->buf = nullptr;
    d->cap = 0;
  }
}

// Copies up to `need - len` bytes of the input into the frame buffer.
// Returns whether the frame buffer now holds `need` bytes.
int take(Dec* d, size_t need, const char*& p, size_t& n) {
  size_t k = need - d->len;
  if (k > n) k = n;
  if (k == 0) return d->len == need;  // nothing to copy (and no buffer yet, perhaps)
  if (reserve(d, d->len + k) < 0) return -1;
  std::memcpy(d->buf + d->len, p, k);
  d->len += k;
  p += k;
  n -= k;
  return d->len == need;
}

// Feeds the bytes at p..p+n; appends each whole message to `out`.
// -1 with an error set on a bad frame.
int run(Dec* d, const char* p, size_t n, PyObject* out) {
  for (;;) {
    if (d->phase == Phase::Head) {
      const int r = take(d, kHeader, p, n);
      if (r <= 0) return r;
      if (check_head(reinterpret_cast<const unsigned char*>(d->buf), d->head) < 0) return -1;
      d->phase = Phase::Table;
    }
    const size_t table_end = kHeader + 8ull * d->head.nbuf;
    if (d->phase == Phase::Table) {
      const int r = take(d, table_end, p, n);
      if (r <= 0) return r;
      if (check_table(reinterpret_cast<const unsigned char*>(d->buf + kHeader), d->head, d->max_frame, *d->table) < 0)
        return -1;
      d->phase = Phase::Stream;
    }
    if (d->phase == Phase::Stream) {
      const int r = take(d, table_end + d->head.plen, p, n);
      if (r <= 0) return r;
      if (d->head.nbuf) {
        d->buffers = PyList_New(d->head.nbuf);
        if (!d->buffers) return -1;
      }
      d->phase = Phase::Buffers;
    }
    while (d->cur < d->head.nbuf) {
      const size_t total = d->table->lengths[d->cur];
      if (!d->target) {
        // A whole bytes object of the message arrives as one; other buffers as bytearrays.
        d->target = d->table->whole_bytes[d->cur] ? PyBytes_FromStringAndSize(nullptr, 0)
                                                  : PyByteArray_FromStringAndSize(nullptr, 0);
        if (!d->target) return -1;
        d->filled = 0;
      }
      size_t k = total - d->filled;
      if (k > n) k = n;
      if (k) {
        if (grow_target(d, d->filled + k, total) < 0) return -1;
        std::memcpy(target_data(d) + d->filled, p, k);
        d->filled += k;
        p += k;
        n -= k;
      }
      if (d->filled < total) return 0;
      PyList_SET_ITEM(d->buffers, d->cur, d->target);  // steals the reference
      d->target = nullptr;
      ++d->cur;
    }
    Ref msg = decode_payload(d->buf + table_end, d->head.plen, d->buffers, d->head, *d->table);
    if (!msg) return -1;
    reset_frame(d);
    if (PyList_Append(out, msg.get()) < 0) return -1;
  }
}

Ref m_feed(pyrt::Func&, PyObject* const* a) {
  Dec* d = as_dec(a[0]);
  if (!d) return Ref();
  if (d->error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(d->error)), d->error);
    return Ref();
  }
  if (d->busy) {
    PyErr_SetString(PyExc_RuntimeError, "Decoder.feed() is already running (called again while it decodes)");
    return Ref();
  }
  Py_buffer in;
  if (PyObject_GetBuffer(a[1], &in, PyBUF_SIMPLE) < 0) return Ref();
  Ref out = Ref::steal(PyList_New(0));
  int rc = out ? 0 : -1;
  if (out) {
    d->busy = true;
    rc = run(d, static_cast<const char*>(in.buf), static_cast<size_t>(in.len), out.get());
    d->busy = false;
  }
  PyBuffer_Release(&in);
  if (rc == 0) return out;
  // The stream is in an unknown state after a bad frame: the decoder keeps the
  // error and refuses what follows. Messages decoded before it come first.
  pyrt::SavedError failed;
  reset_frame(d);
  Ref err = failed.take_value();
  d->error = pyrt::new_ref(err.get());
  if (out && PyList_GET_SIZE(out.get())) return out;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.get())), err.get());
  return Ref();
}

// The error for a stream that has ended here: what Connection.recv() raises.
Ref m_eof(pyrt::Func&, PyObject* const* a) {
  Dec* d = as_dec(a[0]);
  if (!d) return Ref();
  if (d->error) return Ref::borrow(d->error);
  raise_eof(d->phase == Phase::Head && d->len == 0);
  pyrt::SavedError e;
  return e.take_value();
}

const pyrt::FuncDef d_feed{
    "feed", "Decoder.feed", p_self_data, m_feed,
    "feed(data)\n\nTake the bytes that have arrived and return the list of the whole messages they complete. "
    "A bad frame raises what Connection.recv() raises for it (ConnectionAbortedError naming the fault); "
    "messages decoded before it in the same call are returned first, and every later call raises it."};
const pyrt::FuncDef d_eof{
    "eof", "Decoder.eof", p_self, m_eof,
    "eof()\n\nThe exception for a stream that ends now, as Connection.recv() raises it: "
    "ConnectionResetError, at a message boundary or in the middle of a message (or the error of a bad frame)."};

PyObject* dec_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"max_frame", nullptr};
  unsigned long long max_frame = kDefaultMaxFrame;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|K:Decoder", const_cast<char**>(kwlist), &max_frame)) return nullptr;
  intern_frame_names();
  FrameTable* table = new (std::nothrow) FrameTable();
  if (!table) return PyErr_NoMemory();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Dec* d = reinterpret_cast<Dec*>(alloc(type, 0));
  if (!d) {
    delete table;
    return nullptr;
  }
  d->max_frame = max_frame;
  d->table = table;
  return reinterpret_cast<PyObject*>(d);
}

int dec_traverse(PyObject* self, visitproc visit, void* arg) {
  Dec* d = reinterpret_cast<Dec*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(d->buffers);
  Py_VISIT(d->error);
  return 0;
}
int dec_clear(PyObject* self) {
  Dec* d = reinterpret_cast<Dec*>(self);
  Py_CLEAR(d->buffers);
  Py_CLEAR(d->target);
  Py_CLEAR(d->error);
  return 0;
}
void dec_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Dec* d = reinterpret_cast<Dec*>(self);
  dec_clear(self);
  std::free(d->buf);
  delete d->table;
  type->tp_free(self);
  Py_DECREF(type);
}
PyObject* dec_max_frame(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<Dec*>(self)->max_frame);
}
PyObject* dec_broken(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<Dec*>(self)->error != nullptr); }
PyObject* dec_pending(PyObject* self, void*) {
  Dec* d = reinterpret_cast<Dec*>(self);
  return PyBool_FromLong(d->phase != Phase::Head || d->len != 0);
}

PyGetSetDef dec_getset[] = {
    {"max_frame", dec_max_frame, nullptr, "The largest frame, in bytes, that the decoder accepts.", nullptr},
    {"broken", dec_broken, nullptr, "True once a bad frame arrived: feed() raises its error.", nullptr},
    {"pending", dec_pending, nullptr, "True while a frame has started to arrive and is not whole yet.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot dec_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dec_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(dec_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dec_clear)},
    {Py_tp_getset, dec_getset},
    {Py_tp_doc, const_cast<char*>("Decoder(max_frame=16 GiB)\n--\n\n"
                                  "Turns the bytes of a stream, fed as they arrive, into the messages of "
                                  "Connection.send(), with the checks and limits of Connection.recv().")},
    {0, nullptr},
};

PyType_Spec dec_spec = {"lumo.ring.Decoder", sizeof(Dec), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, dec_slots};

int add_type(PyObject* module, PyType_Spec* type_spec, std::span<const pyrt::FuncDef* const> methods, PyObject** keep) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, type_spec, nullptr));
  if (!type) return -1;
  for (const pyrt::FuncDef* d : methods) {
    Ref f = pyrt::make_function(*d, module);
    if (!f || PyObject_SetAttrString(type.get(), d->name, f.get()) < 0) return -1;
  }
  *keep = pyrt::new_ref(type.get());
  const char* dot = std::strrchr(type_spec->name, '.');
  return PyModule_AddObjectRef(module, dot + 1, type.get());
}

}  // namespace

int add_codec_classes(PyObject* module) {
  const pyrt::FuncDef* enc_methods[] = {&d_encode};
  const pyrt::FuncDef* dec_methods[] = {&d_feed, &d_eof};
  if (add_type(module, &enc_spec, enc_methods, &encoder_type) < 0) return -1;
  return add_type(module, &dec_spec, dec_methods, &decoder_type);
}

}  // namespace ring
