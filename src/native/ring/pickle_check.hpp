// A pre-check of a received pickle stream against the amplification the unpickler allows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ring {

// What check_pickle() found wrong, if anything.
struct PickleProblem {
  enum Kind { kNone, kMemoIndex, kLength } kind = kNone;
  std::size_t offset = 0;      // where the opcode starts
  std::uint64_t value = 0;     // the memo index, or the length the opcode claims
  std::size_t remaining = 0;   // kLength: the bytes that actually follow its length field
};

// The unpickler trusts two kinds of numbers in a stream with its memory:
// - a memo index (PUT, LONG_BINPUT) sizes its memo table: twice that many pointers, zeroed,
//   so a 30-byte stream naming index 2**31 makes it touch 32 GiB. A pickler numbers memo
//   entries 0, 1, 2, ..., one per memoised object, and every object costs at least one
//   opcode byte, so an honest stream never names an index at or above its own length;
// - a counted opcode (BINBYTES8, BYTEARRAY8, BINBYTES, ...) allocates the length it claims
//   before it reads, and only then finds the stream truncated.
// Walks the opcodes of `data` up to STOP (or up to an opcode the unpickler does not know,
// where it stops as well) and returns false, filling *problem, on the first such number out
// of range. Data bytes are skipped, not read: the cost grows with the number of opcodes.
bool check_pickle(const unsigned char* data, std::size_t len, PickleProblem* problem);

}  // namespace ring
