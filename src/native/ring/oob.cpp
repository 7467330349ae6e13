// Out-of-band buffers: gathered into the frame at send, received into fresh
// objects at recv, and the persistent_id and persistent_load that move large
// bytes objects out of the pickle stream and back.
#include "ring/oob.hpp"
#include "ring/connection.hpp"
#include "pyrt/interp.hpp"

namespace ring {
namespace {

using pyrt::Ref;

// persistent_id of the channel's pickler: a large bytes object leaves the
// stream and travels out of band, gathered without a copy and received
// straight into a new bytes object. Its id is its place among the buffers.
Ref f_bytes_id(pyrt::Func& f, PyObject* const* a) {
  PyObject* obj = a[0];
  if (!PyBytes_CheckExact(obj) || static_cast<size_t>(PyBytes_GET_SIZE(obj)) < kOutOfBandBytes) return pyrt::none();
  PyObject* keep = f.closure;
  // The same object twice in a message travels once and arrives as one object.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keep); ++i)
    if (PyList_GET_ITEM(keep, i) == obj) return Ref::steal(PyLong_FromSsize_t(i));
  Ref id = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(keep)));
  if (!id || PyList_Append(keep, obj) < 0) return Ref();
  return id;
}
const pyrt::Param p_bytes_id[] = {{"obj"}};
const pyrt::FuncDef d_bytes_id{"persistent_id", "Connection.persistent_id", p_bytes_id, f_bytes_id};

// persistent_load of a message with large bytes out of band: the id is the
// buffer's place in the frame.
Ref f_load_bytes(pyrt::Func& f, PyObject* const* a) {
  PyObject* all = f.closure;
  const Py_ssize_t i = PyLong_CheckExact(a[0]) ? PyLong_AsSsize_t(a[0]) : -1;
  if (i < 0 || i >= PyList_GET_SIZE(all) || !PyBytes_CheckExact(PyList_GET_ITEM(all, i))) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "bad out-of-band reference in the message");
    return Ref();
  }
  return Ref::borrow(PyList_GET_ITEM(all, i));
}
const pyrt::Param p_load_bytes[] = {{"pid"}};
const pyrt::FuncDef d_load_bytes{"persistent_load", "Connection.persistent_load", p_load_bytes, f_load_bytes};

// A large bytes object of the message: read straight into a new bytes object,
// which the message then holds as it is.
Ref recv_bytes(Socket& s, ReadAhead& r, int fd, size_t n) {
  PyObject* b = PyBytes_FromStringAndSize(nullptr, 0);
  if (!b) return Ref();
  const int rc = read_growing(
      s, r, fd, n, [&] { return PyBytes_AS_STRING(b); },
      [&](size_t size) { return pyrt::interp::resize_bytes(&b, static_cast<Py_ssize_t>(size)); });
  Ref owned = Ref::steal(b);
  return rc < 0 ? Ref() : std::move(owned);
}

Ref recv_bytearray(Socket& s, ReadAhead& r, int fd, size_t n) {
  Ref ba = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
  if (!ba) return ba;
  PyObject* b = ba.get();
  const int rc = read_growing(
      s, r, fd, n, [&] { return PyByteArray_AS_STRING(b); },
      [&](size_t size) { return PyByteArray_Resize(b, static_cast<Py_ssize_t>(size)); });
  return rc < 0 ? Ref() : std::move(ba);
}

}  // namespace

Ref make_bytes_id(PyObject* keep) { return pyrt::make_function(d_bytes_id, shared.module, keep); }

int gather_buffers(PyObject* buffers, Frame& f, unsigned char* table, std::uint64_t& total) {
  const Py_ssize_t nbuf = PyList_GET_SIZE(buffers);
  if (static_cast<unsigned long>(nbuf) > kMaxBuffers) {
    PyErr_Format(PyExc_ValueError, "cannot send a message with %zd out-of-band buffers (at most %u)", nbuf,
                 kMaxBuffers);
    return -1;
  }
  Views& views = f.views;
  views.v.reserve(static_cast<size_t>(nbuf));
  for (Py_ssize_t i = 0; i < nbuf; ++i) {
    Py_buffer b;
    if (PyObject_GetBuffer(PyList_GET_ITEM(buffers, i), &b, PyBUF_FULL_RO) < 0) return -1;
    views.v.push_back(b);
    if (!PyBuffer_IsContiguous(&b, 'A')) {
      PyErr_SetString(PyExc_BufferError, "cannot send a non-contiguous buffer out of band");
      return -1;
    }
    const bool whole = PyBytes_CheckExact(PyList_GET_ITEM(buffers, i));
    store_le<std::uint64_t>(table + 8 * i, static_cast<std::uint64_t>(b.len) | (whole ? kBytesBuffer : 0));
    total += static_cast<std::uint64_t>(b.len);
    if (b.len) f.iov.push_back({b.buf, static_cast<size_t>(b.len)});
  }
  return 0;
}

Ref recv_buffers(Socket& s, ReadAhead& r, int fd, const FrameTable& table) {
  const Py_ssize_t nbuf = static_cast<Py_ssize_t>(table.lengths.size());
  Ref buffers = Ref::steal(PyList_New(nbuf));
  if (!buffers) return buffers;
  for (Py_ssize_t i = 0; i < nbuf; ++i) {
    const size_t n = table.lengths[i];
    Ref b = table.whole_bytes[i] ? recv_bytes(s, r, fd, n) : recv_bytearray(s, r, fd, n);
    if (!b) return b;
    PyList_SET_ITEM(buffers.get(), i, b.release());
  }
  return buffers;
}

Ref decode_with_bytes(const char* data, size_t len, PyObject* all, const std::vector<bool>& whole_bytes) {
  if (refuse_pickle(data, len)) return Ref();
  Ref plain = Ref::steal(PyList_New(0));
  if (!plain) return plain;
  for (size_t i = 0; i < whole_bytes.size(); ++i)
    if (!whole_bytes[i] && PyList_Append(plain.get(), PyList_GET_ITEM(all, static_cast<Py_ssize_t>(i))) < 0)
      return Ref();
  Ref stream = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(len)));
  if (!stream) return stream;
  Ref file = pyrt::call(shared.bytesio_type, stream.get());
  if (!file) return decode_failed();
  PyObject* args[] = {nullptr, file.get(), plain.get()};
  Ref unpickler = Ref::steal(
      PyObject_Vectorcall(shared.unpickler_type, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, shared.kw_buffers));
  if (!unpickler) return decode_failed();
  Ref loader = pyrt::make_function(d_load_bytes, shared.module, all);
  if (!loader || pyrt::setattr(unpickler.get(), pyrt::intern("persistent_load"), loader.get()) < 0)
    return decode_failed();
  Ref result = pyrt::call_method(unpickler.get(), pyrt::intern("load"));
  if (!result) return decode_failed();
  return result;
}

}  // namespace ring
