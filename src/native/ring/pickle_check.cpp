// Opcode walk over a pickle stream (protocols 0 to 5), looking only at memo indices and lengths.
#include "ring/pickle_check.hpp"

#include <cstdint>
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

std::uint64_t le(const unsigned char* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The end of the line that starts at p: the line feed, or the end of the data (the
// unpickler reads a last line without a line feed as it is).
const unsigned char* line_end(const unsigned char* p, const unsigned char* end) {
  const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
  return nl ? static_cast<const unsigned char*>(nl) : end;
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
  while (p < end) {
    const unsigned char* at = p;
    const unsigned char op = *p++;
    const std::size_t left = static_cast<std::size_t>(end - p);
    switch (kTable.arg[op]) {
      case kUnknown:
        return true;
      case kNone:
        if (op == '.') return true;  // STOP: the unpickler reads no further
        break;
      case kFixed1:
        p += left < 1 ? left : 1;
        break;
      case kFixed2:
        p += left < 2 ? left : 2;
        break;
      case kFixed4:
        if (left < 4) return true;  // truncated: the unpickler fails here
        if (op == 'r') {            // LONG_BINPUT
          const std::uint64_t idx = le(p, 4);
          if (idx >= len) return found(PickleProblem::kMemoIndex, at, idx, 0);
        }
        p += 4;
        break;
      case kFixed8:
        p += left < 8 ? left : 8;
        break;
      case kLine: {
        const unsigned char* e = line_end(p, end);
        if (op == 'p') {  // PUT, a decimal index: any digits count, whatever else the line holds
          constexpr std::uint64_t kCap = UINT64_MAX / 10 - 10;
          std::uint64_t idx = 0;
          for (const unsigned char* q = p; q < e && idx < kCap; ++q)
            if (*q >= '0' && *q <= '9') idx = idx * 10 + static_cast<unsigned>(*q - '0');
          if (idx >= len) return found(PickleProblem::kMemoIndex, at, idx, 0);
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
        const std::uint64_t n = le(p, width);
        p += width;
        if (n > static_cast<std::uint64_t>(end - p))  // the unpickler would allocate n, then fail
          return found(PickleProblem::kLength, at, n, static_cast<std::size_t>(end - p));
        p += n;
        break;
      }
    }
  }
  return true;
}

}  // namespace ring
