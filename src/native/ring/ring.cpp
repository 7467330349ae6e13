// lumo.ring: the message channel (Connection) and the port of a service name.
#include "ring/auth.hpp"
#include "ring/connection.hpp"
#include "ring/frame.hpp"
#include "ring/spin.hpp"
#include "pyrt/interp.hpp"

#include <cstdio>
#include <cstdint>

namespace ring {
namespace {

using pyrt::Ref;

constexpr long kPortBase = 10000;
constexpr long kPortSpan = 22000;  // 10000..31999, below Linux's ephemeral range

// FNV-1a over the UTF-8 bytes of the name: the same port in every process and run.
Ref f_get_port(pyrt::Func&, PyObject* const* a) {
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(a[0], &n);
  if (!s) return Ref();
  const std::uint32_t h = fnv1a(s, static_cast<size_t>(n));
  return Ref::steal(PyLong_FromLong(kPortBase + static_cast<long>(h % kPortSpan)));
}

const pyrt::Param p_get_port[] = {{"name", "str", pyrt::Check::Str}};
const pyrt::FuncDef d_get_port{
    "get_port", "get_port", p_get_port, f_get_port,
    "get_port(name)\n\nThe TCP port of a service name: stable across processes and runs, in 10000..31999.", "int"};

int exec_ring(PyObject* module) {
  if (pyrt::export_runtime(module) < 0) return -1;
  Ref pickle = Ref::steal(PyImport_ImportModule("_pickle"));
  if (!pickle) return -1;
  shared.loads = pyrt::getattr(pickle.get(), pyrt::intern("loads")).release();
  shared.pickler_type = pyrt::getattr(pickle.get(), pyrt::intern("Pickler")).release();
  shared.unpickler_type = pyrt::getattr(pickle.get(), pyrt::intern("Unpickler")).release();
  Ref io = Ref::steal(PyImport_ImportModule("io"));
  if (!io || !shared.unpickler_type) return -1;
  shared.bytesio_type = pyrt::getattr(io.get(), pyrt::intern("BytesIO")).release();
  if (!shared.bytesio_type) return -1;
  shared.module = pyrt::new_ref(module);  // kept for the life of the process
  if (!shared.loads || !shared.pickler_type) return -1;
  // The channel gives its pickler a persistent_id and its unpickler a
  // persistent_load of their own. From 3.13 only instances of subclasses take
  // them as attributes, so the channel pickles through plain subclasses.
  for (PyObject** type : {&shared.pickler_type, &shared.unpickler_type}) {
    Ref bases = Ref::steal(PyTuple_Pack(1, *type));
    if (!bases) return -1;
    Ref sub = pyrt::make_class(module, type == &shared.pickler_type ? "_Pickler" : "_Unpickler", bases.get(), {});
    if (!sub) return -1;
    Py_SETREF(*type, sub.release());
  }
  shared.kw_buffers = Py_BuildValue("(s)", "buffers");
  shared.kw_buffer_callback = Py_BuildValue("(s)", "buffer_callback");
  if (!shared.kw_buffers || !shared.kw_buffer_callback) return -1;

  Ref socket_module = Ref::steal(PyImport_ImportModule("_socket"));
  if (!socket_module) return -1;
  shared.socket_type = pyrt::getattr(socket_module.get(), pyrt::intern("socket")).release();
  if (!shared.socket_type) return -1;

  Ref append = pyrt::getattr(reinterpret_cast<PyObject*>(&PyList_Type), pyrt::intern("append"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyList_Type)));
  if (!append || !bases) return -1;
  const pyrt::Member sink_members[] = {{"write", nullptr, false, append.get()}};
  Ref sink = pyrt::make_class(module, "_Sink", bases.get(), sink_members);
  if (!sink) return -1;
  shared.sink_type = pyrt::new_ref(sink.get());

  if (add_connection_class(module) < 0) return -1;
  if (add_codec_classes(module) < 0) return -1;
  if (add_security(module) < 0) return -1;
  if (pyrt::add_function(module, d_get_port) < 0) return -1;
  if (add_spin_function(module) < 0) return -1;
  // The interpreter version whose internals this build reads ("3.12"), or ""
  // on the plain path.
  char internals[16] = "";
  if (pyrt::interp::known) std::snprintf(internals, sizeof internals, "3.%d", pyrt::interp::known);
  if (PyModule_AddStringConstant(module, "_internals", internals) < 0) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_ring)},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "lumo.ring", "The message channel of lumo and the port of a service name.", 0, nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ring

PyMODINIT_FUNC PyInit_ring() { return PyModuleDef_Init(&ring::def); }
