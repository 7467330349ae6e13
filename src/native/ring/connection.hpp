// lumo.ring.Connection: a message channel over one connected socket.
#pragma once

#include "pyrt/pyrt.hpp"

namespace ring {

// Module-level objects that the channel and the codec need, made once at
// module exec and kept for the life of the process.
struct Shared {
  PyObject* loads = nullptr;          // _pickle.loads
  PyObject* pickler_type = nullptr;   // a subclass of _pickle.Pickler
  PyObject* unpickler_type = nullptr; // a subclass of _pickle.Unpickler
  PyObject* bytesio_type = nullptr;   // io.BytesIO
  PyObject* module = nullptr;         // lumo.ring (functions made at run time live there)
  PyObject* kw_buffers = nullptr;     // ("buffers",)
  PyObject* kw_buffer_callback = nullptr;  // ("buffer_callback",)
  PyObject* connection_type = nullptr;
  PyObject* sink_type = nullptr;      // list subclass whose write() is append()
  PyObject* socket_type = nullptr;    // _socket.socket
};
extern Shared shared;

// Creates the Connection class and stores it in the module.
int add_connection_class(PyObject* module);

}  // namespace ring
