// The channel's compact encoding for small messages made only of the plain
// built-in types: None, bool, int (64-bit), float, str, small bytes, and
// tuples, lists and dicts of them. Requests and most results are such
// messages; encoding them directly costs a fraction of what a pickler does.
// Anything else (other types, subclasses, large ints, an object that appears twice
// in the message, large payloads) is left to pickle.
#pragma once

#include "pyrt/pyrt.hpp"

#include <cstddef>

namespace ring {

// A growable byte buffer on malloc (the modules are built without exceptions).
struct Bytes {
  char* p = nullptr;
  std::size_t len = 0;
  std::size_t cap = 0;
};
void free_bytes(Bytes& b);

// Encodes `obj` into `out` (from its start). Returns false, with no Python
// error set, when the message needs pickle.
bool compact_encode(PyObject* obj, Bytes& out);
// The same for the tuple of `items`, without the tuple: a sender that holds
// the parts of a message need not build it. A null item is an empty dict.
bool compact_encode_tuple(PyObject* const* items, Py_ssize_t n, Bytes& out);

// Decodes a whole message. On malformed data returns an empty Ref with a
// Python error set (ValueError naming the fault).
pyrt::Ref compact_decode(const char* data, size_t len);

// Decodes a message that is a tuple of `n` items straight into parts[0..n-1],
// without the tuple: 1. An empty dict at a position whose bit is set in
// `empty_null` is left null. 0 (nothing decoded) when the message is no such
// tuple; -1 as compact_decode() fails.
int compact_decode_tuple(const char* data, size_t len, Py_ssize_t n, unsigned empty_null, pyrt::Ref* parts);

}  // namespace ring
