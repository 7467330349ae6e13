// Opcode walk over a pickle stream (protocols 0 to 5): memo indices, lengths and nesting depth.
#include "ring/pickle_check.hpp"
#include "ring/frame.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace ring {

namespace {

// How the argument of each opcode is laid out.
enum Arg : unsigned char {
  kUnknown,  // not a pickle opcode: the unpickler stops with an error here
  kNone,
  kFixed1,
  kFixed2,
  kFixed4,
  kFixed8,
  kLine,     // text up to a line feed
  kLines2,   // two such lines (GLOBAL, INST)
  kCount1,   // 1-byte length, then that many bytes
  kCount4,   // 4-byte little-endian length, then that many bytes
  kCount8,   // 8-byte little-endian length, then that many bytes
};

struct Table {
  Arg arg[256] = {};
  constexpr void set(std::initializer_list<int> ops, Arg a) {
    for (int op : ops) arg[op] = a;
  }
  constexpr Table() {
    set({'(', '.', '0', '1', '2', 'N', 'R', 'a', 'b', 'd', '}', 'e', 'l', ']', 'o', 's', 't', ')', 'u', 'Q', 0x81,
         0x85, 0x86, 0x87, 0x88, 0x89, 0x8f, 0x90, 0x91, 0x92, 0x93, 0x94, 0x97, 0x98},
        kNone);
    set({'K', 'h', 'q', 0x80, 0x82}, kFixed1);
    set({'M', 0x83}, kFixed2);
    set({'J', 'j', 'r', 0x84}, kFixed4);
    set({'G', 0x95}, kFixed8);  // FRAME: its length is a hint, its opcodes follow
    set({'I', 'L', 'F', 'S', 'V', 'P', 'g', 'p'}, kLine);
    set({'c', 'i'}, kLines2);
    set({'U', 'C', 0x8c, 0x8a}, kCount1);
    set({'T', 'X', 'B', 0x8b}, kCount4);
    set({0x8d, 0x8e, 0x96}, kCount8);
  }
};
constexpr Table kTable;

// The end of the line that starts at p: the line feed, or the end of the data (the
// unpickler reads a last line without a line feed as it is).
const unsigned char* line_end(const unsigned char* p, const unsigned char* end) {
  const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
  return nl ? static_cast<const unsigned char*>(nl) : end;
}


// A growable array on malloc (the modules are built without exceptions).
template <class T>
struct Array {
  T* p = nullptr;
  std::size_t n = 0;
  std::size_t cap = 0;
  Array() = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() { std::free(p); }
  bool reserve(std::size_t want) {
    if (want <= cap) return true;
    std::size_t c = cap ? cap * 2 : 64;
    if (c < want) c = want;
    T* q = static_cast<T*>(std::realloc(p, c * sizeof(T)));
    if (!q) return false;
    p = q;
    cap = c;
    return true;
  }
};

// The depth of what the unpickler's stack holds, opcode by opcode: 0 for a scalar, 1 for an
// empty container, one more than its deepest item for a container. An object put in the memo
// keeps its depth there, and a container filled after it was memoised (APPENDS onto a list
// brought back with GET) updates its memo entry, so that GET brings back what it holds now.
// A stream the unpickler fails on (an item popped from an empty stack, a missing mark) is
// followed all the same, with what is missing taken as depth 0: the unpickler stops there.
class Nesting {
 public:
  // Memo indices are below `memo_limit` (check_pickle refuses any other first).
  explicit Nesting(std::size_t memo_limit) : memo_limit_(memo_limit < 256 ? 256 : memo_limit) {}
  // Applies one opcode (`index`: the memo index of PUT and GET). False: out of memory.
  bool step(unsigned char op, std::uint64_t index);
  // The depth of what the last opcode left on top of the stack.
  std::uint32_t top() const { return stack_.n ? stack_.p[stack_.n - 1].depth : 0; }

 private:
  struct Entry {
    std::uint32_t depth;
    std::uint32_t memo;  // the memo index that holds this object, or kNoMemo
  };
  static constexpr std::uint32_t kNoMemo = UINT32_MAX;

  Array<Entry> stack_;
  Array<std::size_t> marks_;     // the stack's size at each MARK
  Array<std::uint32_t> memo_;    // depth + 1 of each memo entry; 0: empty
  std::uint64_t memo_len_ = 0;   // filled memo entries: the index MEMOIZE uses
  std::size_t memo_limit_;

  std::size_t fence() const { return marks_.n ? marks_.p[marks_.n - 1] : 0; }
  bool push(std::uint32_t depth, std::uint32_t memo = kNoMemo) {
    if (!stack_.reserve(stack_.n + 1)) return false;
    stack_.p[stack_.n++] = Entry{depth, memo};
    return true;
  }
  // Pops up to k items above the newest mark; returns the deepest.
  std::uint32_t pop(std::size_t k) {
    std::uint32_t deepest = 0;
    while (k-- && stack_.n > fence()) {
      const std::uint32_t d = stack_.p[--stack_.n].depth;
      if (d > deepest) deepest = d;
    }
    return deepest;
  }
  // Pops the items above the newest mark, and the mark; returns their deepest.
  std::uint32_t pop_mark() {
    const std::uint32_t deepest = pop(SIZE_MAX);
    if (marks_.n) --marks_.n;
    return deepest;
  }
  // The container on top takes in items of depth `inner`.
  void fill_top(std::uint32_t inner) {
    if (stack_.n <= fence()) return;
    Entry& e = stack_.p[stack_.n - 1];
    if (inner + 1 > e.depth) e.depth = inner + 1;
    if (e.memo != kNoMemo && e.memo < memo_.n) memo_.p[e.memo] = e.depth + 1;
  }
  bool memo_put(std::uint64_t index) {
    if (stack_.n <= fence() || index >= kNoMemo) return true;
    const std::size_t i = static_cast<std::size_t>(index);
    if (i >= memo_.n) {
      std::size_t want = memo_.cap ? memo_.cap * 2 : 64;
      if (want > memo_limit_) want = memo_limit_;
      if (want < i + 1) want = i + 1;
      if (!memo_.reserve(want)) return false;
      std::memset(memo_.p + memo_.n, 0, (memo_.cap - memo_.n) * sizeof(std::uint32_t));
      memo_.n = memo_.cap;
    }
    Entry& e = stack_.p[stack_.n - 1];
    if (memo_.p[i] == 0) ++memo_len_;
    memo_.p[i] = e.depth + 1;
    e.memo = static_cast<std::uint32_t>(i);
    return true;
  }
  bool memo_get(std::uint64_t index) {
    if (index < memo_.n && memo_.p[index]) return push(memo_.p[index] - 1, static_cast<std::uint32_t>(index));
    return push(0);  // not in the memo: the unpickler fails here
  }
};

bool Nesting::step(unsigned char op, std::uint64_t index) {
  switch (op) {
    case '(':  // MARK
      if (!marks_.reserve(marks_.n + 1)) return false;
      marks_.p[marks_.n++] = stack_.n;
      return true;
    case ')': case ']': case '}': case 0x8f:  // EMPTY_TUPLE, EMPTY_LIST, EMPTY_DICT, EMPTY_SET
      return push(1);
    case 't': case 'l': case 'd': case 0x91: case 'i': case 'o':  // TUPLE, LIST, DICT, FROZENSET, INST, OBJ
      return push(pop_mark() + 1);
    case 0x85: case 0x86: case 0x87:  // TUPLE1, TUPLE2, TUPLE3
      return push(pop(op - 0x84u) + 1);
    case 'a': case 'b':  // APPEND, BUILD
      fill_top(pop(1));
      return true;
    case 's':  // SETITEM
      fill_top(pop(2));
      return true;
    case 'e': case 'u': case 0x90:  // APPENDS, SETITEMS, ADDITEMS
      fill_top(pop_mark());
      return true;
    case 'R': case 0x81:  // REDUCE, NEWOBJ: what a call makes of its arguments
      return push(pop(2));
    case 0x92:  // NEWOBJ_EX
      return push(pop(3));
    case 0x93:  // STACK_GLOBAL
      pop(2);
      return push(0);
    case 'Q':  // BINPERSID
      pop(1);
      return push(0);
    case '0':  // POP: the newest mark, when nothing is above it
      if (marks_.n && marks_.p[marks_.n - 1] == stack_.n)
        --marks_.n;
      else
        pop(1);
      return true;
    case '1':  // POP_MARK
      pop_mark();
      return true;
    case '2':  // DUP
      if (stack_.n <= fence()) return push(0);
      return push(stack_.p[stack_.n - 1].depth, stack_.p[stack_.n - 1].memo);
    case 'p': case 'q': case 'r':  // PUT, BINPUT, LONG_BINPUT
      return memo_put(index);
    case 0x94:  // MEMOIZE
      return memo_put(memo_len_);
    case 'g': case 'h': case 'j':  // GET, BINGET, LONG_BINGET
      return memo_get(index);
    case 0x80: case 0x95: case 0x98: case '.':  // PROTO, FRAME, READONLY_BUFFER, STOP
      return true;
    default:  // everything else pushes one scalar (or a global, a persistent id, a buffer)
      return push(0);
  }
}

}  // namespace

bool check_pickle(const unsigned char* data, std::size_t len, PickleProblem* problem) {
  const unsigned char* p = data;
  const unsigned char* end = data + len;
  auto found = [&](PickleProblem::Kind kind, const unsigned char* at, std::uint64_t value, std::size_t remaining) {
    problem->kind = kind;
    problem->offset = static_cast<std::size_t>(at - data);
    problem->value = value;
    problem->remaining = remaining;
    return false;
  };
  Nesting nesting(len);
  while (p < end) {
    const unsigned char* at = p;
    const unsigned char op = *p++;
    const std::size_t left = static_cast<std::size_t>(end - p);
    std::uint64_t index = 0;  // of a memo opcode
    switch (kTable.arg[op]) {
      case kUnknown:
        return true;
      case kNone:
        if (op == '.') return true;  // STOP: the unpickler reads no further
        break;
      case kFixed1:
        if (left < 1) return true;  // truncated: the unpickler fails here
        index = *p++;
        break;
      case kFixed2:
        p += left < 2 ? left : 2;
        break;
      case kFixed4:
        if (left < 4) return true;
        index = load_le<std::uint32_t>(p);
        if (op == 'r' && index >= len) return found(PickleProblem::kMemoIndex, at, index, 0);  // LONG_BINPUT
        p += 4;
        break;
      case kFixed8:
        p += left < 8 ? left : 8;
        break;
      case kLine: {
        const unsigned char* e = line_end(p, end);
        if (op == 'p' || op == 'g') {  // PUT, GET: a decimal index; any digits count, whatever else the line holds
          constexpr std::uint64_t kCap = UINT64_MAX / 10 - 10;
          for (const unsigned char* q = p; q < e && index < kCap; ++q)
            if (*q >= '0' && *q <= '9') index = index * 10 + static_cast<unsigned>(*q - '0');
          if (op == 'p' && index >= len) return found(PickleProblem::kMemoIndex, at, index, 0);
        }
        p = e < end ? e + 1 : end;
        break;
      }
      case kLines2: {
        const unsigned char* e = line_end(p, end);
        p = e < end ? e + 1 : end;
        e = line_end(p, end);
        p = e < end ? e + 1 : end;
        break;
      }
      case kCount1:
      case kCount4:
      case kCount8: {
        const int width = kTable.arg[op] == kCount1 ? 1 : kTable.arg[op] == kCount4 ? 4 : 8;
        if (left < static_cast<std::size_t>(width)) return true;
        const std::uint64_t n = width == 1 ? *p : width == 4 ? load_le<std::uint32_t>(p) : load_le<std::uint64_t>(p);
        p += width;
        if (n > static_cast<std::uint64_t>(end - p))  // the unpickler would allocate n, then fail
          return found(PickleProblem::kLength, at, n, static_cast<std::size_t>(end - p));
        p += n;
        break;
      }
    }
    if (!nesting.step(op, index)) return found(PickleProblem::kMemory, at, 0, 0);
    if (nesting.top() > kMaxNesting) return found(PickleProblem::kNesting, at, kMaxNesting, 0);
  }
  return true;
}

const char* describe_problem(const PickleProblem& problem, std::size_t len, char* out, std::size_t size) {
  const unsigned long long value = problem.value;
  switch (problem.kind) {
    case PickleProblem::kMemoIndex:
      std::snprintf(out, size, "cannot decode the message: memo index %llu at byte %zu of a %zu-byte stream", value,
                    problem.offset, len);
      break;
    case PickleProblem::kLength:
      std::snprintf(out, size,
                    "cannot decode the message: pickle data was truncated (the opcode at byte %zu claims %llu "
                    "bytes, %zu follow)",
                    problem.offset, value, problem.remaining);
      break;
    case PickleProblem::kNesting:
      std::snprintf(out, size,
                    "cannot decode the message: containers nested deeper than %llu levels at byte %zu of a "
                    "%zu-byte stream",
                    value, problem.offset, len);
      break;
    case PickleProblem::kMemory:
      std::snprintf(out, size, "cannot decode the message: out of memory while checking a %zu-byte stream", len);
      break;
    case PickleProblem::kNone:
      std::snprintf(out, size, "cannot decode the message");
      break;
  }
  return out;
}

}  // namespace ring
