// The compact encoding of small plain messages. One tag byte per value:
//   N None, T True, F False, i int64, d float64 (both little-endian 8 bytes),
//   s str and b bytes (u32 length, then UTF-8 or raw bytes),
//   ( tuple, [ list, { dict (u32 count, then the items; a dict's as key, value).
// The decoder trusts nothing: every length is checked against the bytes that
// are there, so it never allocates more than a small multiple of the message.
#include "ring/compact.hpp"
#include "ring/frame.hpp"
#include "pyrt/interp.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ring {
namespace {

using pyrt::Ref;

constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxSize = 64 * 1024;  // larger messages go to pickle (zero-copy for big payloads)

bool reserve(Bytes& b, std::size_t more) {
  if (b.len + more <= b.cap) return true;
  std::size_t cap = b.cap ? b.cap : 256;
  while (cap < b.len + more) cap *= 2;
  char* p = static_cast<char*>(std::realloc(b.p, cap));
  if (!p) return false;
  b.p = p;
  b.cap = cap;
  return true;
}

// The writers below write into room that the caller has reserved.
inline void store_tag_u32(Bytes& b, char tag, std::uint32_t n) {
  auto* q = reinterpret_cast<unsigned char*>(b.p + b.len);
  q[0] = static_cast<unsigned char>(tag);
  store_le(q + 1, n);
  b.len += 5;
}

inline void store_tag_8(Bytes& b, char tag, std::uint64_t v) {
  auto* q = reinterpret_cast<unsigned char*>(b.p + b.len);
  q[0] = static_cast<unsigned char>(tag);
  store_le(q + 1, v);
  b.len += 9;
}

bool put_tag_u32(Bytes& b, char tag, std::size_t n) {
  if (n > 0xffffffffu || !reserve(b, 5)) return false;
  store_tag_u32(b, tag, static_cast<std::uint32_t>(n));
  return true;
}

// A tag and `n` bytes of data.
bool put_blob(Bytes& b, char tag, const char* data, std::size_t n) {
  if (n > kMaxSize || !reserve(b, 5 + n)) return false;
  store_tag_u32(b, tag, static_cast<std::uint32_t>(n));
  std::memcpy(b.p + b.len, data, n);
  b.len += n;
  return true;
}

// The objects of a message that may appear in it more than once. Pickle's memo gives an
// object that appears twice (a tuple, a text, a bytes object, a list, a dict) back as one
// object, so such a message is left to pickle. Ints, floats, None and booleans pickle keeps
// no identity of, and neither does this encoding. An object with a single reference can
// only be here once, and is not looked up at all: a message of fresh values costs nothing.
class Seen {
 public:
  Seen() = default;
  Seen(const Seen&) = delete;
  Seen& operator=(const Seen&) = delete;
  ~Seen() { std::free(table_); }

  // False when `o` was met before in this message (or there is no memory to remember it).
  bool first(PyObject* o) {
    if (Py_REFCNT(o) == 1) return true;
    if (!table_) {
      for (int i = 0; i < nfew_; ++i)
        if (few_[i] == o) return false;
      if (nfew_ < kFew) {
        few_[nfew_++] = o;
        return true;
      }
      if (!grow(64)) return false;
      for (PyObject* f : few_) insert(f);
    }
    if (2 * (count_ + 1) > cap_ && !grow(cap_ * 2)) return false;
    return insert(o);
  }

 private:
  static constexpr int kFew = 16;  // a request's few objects: looked up in a short array
  PyObject* few_[kFew];            // only the first nfew_ are read
  int nfew_ = 0;
  PyObject** table_ = nullptr;     // open addressing, at most half full
  std::size_t cap_ = 0;
  std::size_t count_ = 0;

  bool insert(PyObject* o) {
    std::size_t i = (reinterpret_cast<std::uintptr_t>(o) >> 4) * 0x9E3779B97F4A7C15ull & (cap_ - 1);
    for (; table_[i]; i = (i + 1) & (cap_ - 1))
      if (table_[i] == o) return false;
    table_[i] = o;
    ++count_;
    return true;
  }
  bool grow(std::size_t cap) {
    PyObject** old = table_;
    const std::size_t old_cap = cap_;
    table_ = static_cast<PyObject**>(std::calloc(cap, sizeof(PyObject*)));
    if (!table_) {
      table_ = old;
      return false;
    }
    cap_ = cap;
    count_ = 0;
    for (std::size_t i = 0; i < old_cap; ++i)
      if (old[i]) insert(old[i]);
    std::free(old);
    return true;
  }
};

struct Encoder {
  explicit Encoder(Bytes& o) : out(o) {}
  Bytes& out;
  Seen seen;  // also stops a list or dict that holds itself

  // Only exact built-in types are encoded, so no Python code runs here and
  // the containers cannot change while they are walked.
  bool put(PyObject* o, int depth) {
    if (out.len > kMaxSize || !reserve(out, 9)) return false;
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyLong_Type) return put_int(o);
    if (t == &PyUnicode_Type) return seen.first(o) && put_str(o);
    if (o == Py_None || o == Py_True || o == Py_False) {
      out.p[out.len++] = o == Py_None ? 'N' : o == Py_True ? 'T' : 'F';
      return true;
    }
    if (t == &PyFloat_Type) {
      double d = PyFloat_AS_DOUBLE(o);
      std::uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      store_tag_8(out, 'd', bits);
      return true;
    }
    if (t == &PyBytes_Type)
      return seen.first(o) &&
             put_blob(out, 'b', PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    if (depth >= kMaxDepth) return false;
    if (t == &PyTuple_Type)
      return seen.first(o) && put_items('(', reinterpret_cast<PyTupleObject*>(o)->ob_item, PyTuple_GET_SIZE(o), depth);
    if (t == &PyList_Type)
      return seen.first(o) && put_items('[', reinterpret_cast<PyListObject*>(o)->ob_item, PyList_GET_SIZE(o), depth);
    if (t == &PyDict_Type) return seen.first(o) && put_dict(o, depth);
    return false;
  }

  bool put_int(PyObject* o) {
    long long v;
    if (!pyrt::interp::small_int(o, &v)) {
      int overflow = 0;
      v = PyLong_AsLongLongAndOverflow(o, &overflow);
      if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
      }
    }
    store_tag_8(out, 'i', static_cast<std::uint64_t>(v));
    return true;
  }

  bool put_str(PyObject* o) {
    if (PyUnicode_IS_COMPACT_ASCII(o))
      return put_blob(out, 's', static_cast<const char*>(PyUnicode_DATA(o)),
                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
    Py_ssize_t n;
    const char* text = PyUnicode_AsUTF8AndSize(o, &n);
    if (!text) {  // lone surrogates: pickle carries them
      PyErr_Clear();
      return false;
    }
    return put_blob(out, 's', text, static_cast<std::size_t>(n));
  }

  // A tuple or a list: the tag, the count, the items.
  bool put_items(char tag, PyObject* const* items, Py_ssize_t n, int depth) {
    if (!put_tag_u32(out, tag, static_cast<std::size_t>(n))) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!put(items[i], depth + 1)) return false;
    return true;
  }

  bool put_dict(PyObject* o, int depth) {
    if (!put_tag_u32(out, '{', static_cast<std::size_t>(PyDict_GET_SIZE(o)))) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(o, &pos, &key, &value))
      if (!put(key, depth + 1) || !put(value, depth + 1)) return false;
    return true;
  }
};

// Short ASCII strings (function names, dict keys) come back as the same
// interned objects, message after message: made once with their hash, instead
// of a new string per message. Strings are immutable, so sharing them is safe.
// Direct-mapped on a hash of the bytes; a collision replaces the entry.
constexpr std::size_t kCachedStrMax = 32;
constexpr std::size_t kStrCacheSize = 256;
PyObject* str_cache[kStrCacheSize];

// Which cache entries a message has handed out already: equal texts of one message were
// distinct objects when it was sent (the encoder leaves repeated objects to pickle), so a
// second one comes back as a new object, as pickle gives it.
struct CacheUse {
  std::uint64_t bits[kStrCacheSize / 64] = {};
  bool take(std::size_t slot) {
    const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
    if (bits[slot / 64] & bit) return false;
    bits[slot / 64] |= bit;
    return true;
  }
};

// The string of `n` bytes at `s`; with `*done` false (and no error) when they
// are not short ASCII, or their cache entry is taken, and the caller decodes them itself.
Ref short_ascii(const char* s, std::size_t n, CacheUse& use, bool* done) {
  *done = false;
  if (n > kCachedStrMax) return Ref();
  std::uint32_t h = kFnvBasis;
  unsigned char high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    high |= c;
    h = fnv1a_step(h, c);
  }
  if (high & 0x80 || !use.take(h % kStrCacheSize)) return Ref();
  *done = true;
  PyObject*& slot = str_cache[h % kStrCacheSize];
  if (slot && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
      std::memcmp(PyUnicode_1BYTE_DATA(slot), s, n) == 0)
    return Ref::borrow(slot);
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (!o) return Ref();
  std::memcpy(PyUnicode_1BYTE_DATA(o), s, n);
  PyUnicode_InternInPlace(&o);
  Py_XSETREF(slot, pyrt::new_ref(o));
  return Ref::steal(o);
}

struct Decoder {
  const unsigned char* start;
  const unsigned char* p;
  const unsigned char* end;
  CacheUse cache_use;

  Ref bad(const char* what) {
    PyErr_Format(PyExc_ValueError, "malformed compact message: %s at byte offset %zd", what,
                 static_cast<Py_ssize_t>(p - start));
    return Ref();
  }
  std::size_t left() const { return static_cast<std::size_t>(end - p); }
  template <class T>
  T take() {
    const T v = load_le<T>(p);
    p += sizeof(T);
    return v;
  }

  Ref get(int depth) {
    if (p >= end) return bad("truncated value");
    const unsigned char tag = *p++;
    switch (tag) {
      case 'N': return pyrt::none();
      case 'T': return pyrt::boolean(true);
      case 'F': return pyrt::boolean(false);
      case 'i':
        if (left() < 8) return bad("truncated int");
        return Ref::steal(PyLong_FromLongLong(static_cast<long long>(take<std::uint64_t>())));
      case 'd': {
        if (left() < 8) return bad("truncated float");
        std::uint64_t bits = take<std::uint64_t>();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return Ref::steal(PyFloat_FromDouble(d));
      }
      case 's':
      case 'b': {
        if (left() < 4) return bad("truncated length");
        const std::size_t n = take<std::uint32_t>();
        if (left() < n) return bad("length past the end");
        const char* s = reinterpret_cast<const char*>(p);
        p += n;
        if (tag == 'b') return Ref::steal(PyBytes_FromStringAndSize(s, static_cast<Py_ssize_t>(n)));
        bool done;
        Ref cached = short_ascii(s, n, cache_use, &done);
        if (done) return cached;
        return Ref::steal(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict"));
      }
      case '(':
      case '[':
      case '{': {
        if (depth >= kMaxDepth) return bad("nesting too deep");
        if (left() < 4) return bad("truncated count");
        const std::size_t n = take<std::uint32_t>();
        // Every item takes at least one byte: a count is bounded by what is there.
        if (n > left() || (tag == '{' && n > left() / 2)) return bad("count past the end");
        const Py_ssize_t count = static_cast<Py_ssize_t>(n);
        return tag == '{' ? get_dict(count, depth) : get_seq(tag == '(', count, depth);
      }
      default: --p; return bad("unknown tag");
    }
  }

  Ref get_dict(Py_ssize_t count, int depth) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref k = get(depth + 1);
      if (!k) return k;
      Ref v = get(depth + 1);
      if (!v) return v;
      if (PyDict_SetItem(d.get(), k.get(), v.get()) < 0) return Ref();
    }
    return d;
  }

  Ref get_seq(bool tuple, Py_ssize_t count, int depth) {
    Ref seq = Ref::steal(tuple ? PyTuple_New(count) : PyList_New(count));
    if (!seq) return seq;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref item = get(depth + 1);
      if (!item) return item;
      if (tuple)
        PyTuple_SET_ITEM(seq.get(), i, item.release());
      else
        PyList_SET_ITEM(seq.get(), i, item.release());
    }
    return seq;
  }
};

}  // namespace

void free_bytes(Bytes& b) {
  std::free(b.p);
  b = Bytes{};
}

bool compact_encode(PyObject* obj, Bytes& out) {
  out.len = 0;
  Encoder e(out);
  return e.put(obj, 0) && out.len <= kMaxSize;
}

bool compact_encode_tuple(PyObject* const* items, Py_ssize_t n, Bytes& out) {
  out.len = 0;
  Encoder e(out);
  if (!put_tag_u32(out, '(', static_cast<std::size_t>(n))) return false;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!(items[i] ? e.put(items[i], 1) : put_tag_u32(out, '{', 0))) return false;
  return out.len <= kMaxSize;
}

int compact_decode_tuple(const char* data, size_t len, Py_ssize_t n, unsigned empty_null, Ref* parts) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  if (len < 5 || bytes[0] != '(' || load_le<std::uint32_t>(bytes + 1) != static_cast<std::uint64_t>(n)) return 0;
  Decoder d{bytes, bytes + 5, bytes + len, {}};
  for (Py_ssize_t i = 0; i < n; ++i) {
    if ((empty_null >> i & 1) && d.left() >= 5 && d.p[0] == '{' && load_le<std::uint32_t>(d.p + 1) == 0) {
      d.p += 5;
      continue;
    }
    if (!(parts[i] = d.get(1))) return -1;
  }
  if (d.p != d.end) {
    d.bad("bytes after the message");
    return -1;
  }
  return 1;
}

Ref compact_decode(const char* data, size_t len) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  Decoder d{bytes, bytes, bytes + len, {}};
  Ref r = d.get(0);
  if (r && d.p != d.end) return d.bad("bytes after the message");
  return r;
}

}  // namespace ring
