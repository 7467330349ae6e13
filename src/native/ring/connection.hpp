// lumo.ring.Connection: a message channel over one connected socket.
#pragma once

#include "pyrt/pyrt.hpp"

namespace ring {

// Module-level objects that the channel needs, made once at module exec.
struct Shared {
  PyObject* loads = nullptr;          // _pickle.loads
  PyObject* pickler_type = nullptr;   // a subclass of _pickle.Pickler
  PyObject* unpickler_type = nullptr; // a subclass of _pickle.Unpickler
  PyObject* bytesio_type = nullptr;   // io.BytesIO
  PyObject* module = nullptr;         // lumo.ring (functions made at run time live there)
  PyObject* kw_buffers = nullptr;     // ("buffers",)
  PyObject* kw_buffer_callback = nullptr;  // ("buffer_callback",)
  PyObject* connection_type = nullptr;
  PyObject* sink_type = nullptr;
  PyObject* socket_type = nullptr;        // _socket.socket          // list subclass whose write() is append()
};
extern Shared shared;

// Creates the Connection class and stores it in the module.
int add_connection_class(PyObject* module);

// Frame layout: a 16-byte header, then `nbuf` little-endian u64 buffer
// lengths, then the pickle stream, then the out-of-band buffers.
//   bytes 0..3   magic "LM", version 1, flags 0
//   bytes 4..7   u32 number of out-of-band buffers
//   bytes 8..15  u64 length of the pickle stream
// A buffer length with its top bit set marks a whole bytes object of the
// message sent out of band (received through persistent_load).
constexpr unsigned char kMagic0 = 'L';
constexpr unsigned char kMagic1 = 'M';
constexpr unsigned char kVersion = 1;
constexpr size_t kHeader = 16;
constexpr unsigned long long kDefaultMaxFrame = 16ULL << 30;  // 16 GiB
constexpr unsigned kMaxBuffers = 1u << 16;

}  // namespace ring
