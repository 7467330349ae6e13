// The out-of-band buffers of a pickled frame. Bytes-like objects that offer
// out-of-band pickling (numpy arrays, pickle.PickleBuffer) leave through the
// same gathered write as the pickle stream, without a copy, and arrive in
// fresh buffers. Large bytes objects inside the stream are handed over by the
// pickler as they are and gathered without a copy as well: they leave the
// stream through persistent_id and come back through persistent_load.
#pragma once

#include "ring/frame.hpp"
#include "ring/socket_io.hpp"

namespace ring {

constexpr size_t kOutOfBandBytes = 256 * 1024;  // bytes objects this large travel out of band

// The persistent_id of a channel's pickler, which keeps the large bytes
// objects of a message in the list `keep`.
pyrt::Ref make_bytes_id(PyObject* keep);

// Adds the buffers that the pickler kept out of band (the list `buffers`) to
// `f`: a view of each, its length in the buffer table at `table`, and its
// memory as a piece of the frame. Adds their bytes to `total`. -1 with an
// error set when there are too many or one is not contiguous.
int gather_buffers(PyObject* buffers, Frame& f, unsigned char* table, std::uint64_t& total);

// Receives the out-of-band buffers of a frame whose table is `table`: a list
// of fresh bytearrays and, for the whole bytes objects, bytes. An empty Ref
// with an error set.
pyrt::Ref recv_buffers(Socket& s, ReadAhead& r, int fd, const FrameTable& table);

// Decodes a pickle stream whose large bytes objects travelled out of band
// (marked in the buffer table): they come back through persistent_load, the
// other buffers through the unpickler's buffers as usual.
pyrt::Ref decode_with_bytes(const char* data, size_t len, PyObject* all, const std::vector<bool>& whole_bytes);

}  // namespace ring
