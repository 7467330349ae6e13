// A pre-check of a received pickle stream against the amplification the unpickler allows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ring {

// The deepest nesting of containers that a received stream may build. The interpreter's
// pickler recurses once per level and stops at the recursion limit (1000 by default), so no
// honest stream comes near; hashing a tuple nested a million deep (a dict key, a name looked
// up) overflows a thread's stack, and a few hundred bytes per level of opcodes build one.
constexpr unsigned kMaxNesting = 5000;

// What check_pickle() found wrong, if anything.
struct PickleProblem {
  enum Kind { kNone, kMemoIndex, kLength, kNesting, kMemory } kind = kNone;
  std::size_t offset = 0;      // where the opcode starts
  std::uint64_t value = 0;     // the memo index, the length the opcode claims, or the nesting bound
  std::size_t remaining = 0;   // kLength: the bytes that actually follow its length field
};

// The unpickler trusts the numbers and the shape of a stream with its memory and its stack:
// - a memo index (PUT, LONG_BINPUT) sizes its memo table: twice that many pointers, zeroed,
//   so a 30-byte stream naming index 2**31 makes it touch 32 GiB. A pickler numbers memo
//   entries 0, 1, 2, ..., one per memoised object, and every object costs at least one
//   opcode byte, so an honest stream never names an index at or above its own length;
// - a counted opcode (BINBYTES8, BYTEARRAY8, BINBYTES, ...) allocates the length it claims
//   before it reads, and only then finds the stream truncated;
// - the containers it builds may nest to any depth (TUPLE1 a million times over), and code
//   that later walks them recursively without a bound (hash) overflows the stack.
// Walks the opcodes of `data` up to STOP (or up to an opcode the unpickler does not know,
// where it stops as well), following the depth of what the unpickler's stack and memo hold,
// and returns false, filling *problem, on the first number out of range or the first
// container nested deeper than kMaxNesting (kMemory: no memory to follow the stack). Data
// bytes are skipped, not read: the cost grows with the number of opcodes.
bool check_pickle(const unsigned char* data, std::size_t len, PickleProblem* problem);

// The text of a problem that check_pickle() found in a `len`-byte stream, for the error that
// refuses the message: "cannot decode the message: ...". Returns `out`.
const char* describe_problem(const PickleProblem& problem, std::size_t len, char* out, std::size_t size);

}  // namespace ring
