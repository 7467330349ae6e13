// Adaptive spin before block: a channel that waits for data polls its socket for a few
// microseconds, without the GIL, before it sleeps in poll(), while recent answers came back
// that fast. A reply that arrives within the spin is read at no cost of a wake-up.
//
// When it spins (each rule cheap enough to check on every wait):
// - lumo.ring.set_spin(True), the default; set_spin(False) turns it off for the process;
// - the thread may run on more than one CPU (re-checked about once a second);
// - fewer threads of the process spin at once than there are CPUs to spare one for the peer,
//   and no more threads of the process wait in recv() than that (more would queue for the GIL
//   when their answers come);
// - the thread was not preempted since its last spin (others want the CPUs);
// - this channel's recent waits were short: the budget is a bit more than its typical wait,
//   at most kSpinCapNs, and zero once its waits grow long;
// - spinning still pays on this channel: after a few spins in a row that ended asleep, it
//   waits without spinning for a number of waits that doubles at each new failure, then
//   tries again.
#pragma once

#include "pyrt/pyrt.hpp"

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

namespace ring {

constexpr std::uint32_t kSpinCapNs = 50'000;  // the most CPU one wait spends spinning

// What a channel remembers of its recent waits. All zero is the state of a new channel.
struct SpinState {
  std::uint32_t typical_ns;  // moving average of recent waits (each counted at most 2 caps)
  std::uint16_t skip;        // waits left to go without spinning
  std::uint16_t backoff;     // the length of the last pause; doubles at each new failure
  std::uint8_t misses;       // spins in a row that ended asleep
  bool seeded;               // typical_ns holds a measurement
};

// spin_recv() made no attempt (no spin due): wait as the channel always does.
constexpr ssize_t kNoSpin = -2;

// Waits for data on `fd` and reads what is there into dst, counting the whole wait toward
// `timeout` (seconds; negative: none; never 0). Called with the GIL held; spins and waits
// without it. Returns the bytes read (0: end of stream), or kNoSpin with the GIL never
// released, or -1 with *err: ETIMEDOUT when the time-out ran out, EINTR when a signal
// interrupted the wait (the caller runs the handlers and waits as usual), else the errno
// of recv() or ppoll().
ssize_t spin_recv(SpinState& s, int fd, char* dst, size_t n, double timeout, int* err);

// GIL hand-over on send. A small message goes out in one non-blocking sendmsg() with the GIL
// kept, which saves handing it over and back; but over loopback that call also runs the
// receiving side's network stack and wake-up, several microseconds in which the process's
// other threads cannot run. While another thread of the process waits in recv() (and so will
// want the GIL when its answer comes), the send lets it go.
struct Receiving {  // marks the thread as receiving for the life of the object
  Receiving() noexcept;
  ~Receiving();
  Receiving(const Receiving&) = delete;
  Receiving& operator=(const Receiving&) = delete;
};
bool hand_over_gil();
// sendmsg(fd, m, MSG_NOSIGNAL | MSG_DONTWAIT) with the GIL released; keeps errno.
ssize_t send_without_gil(int fd, const msghdr* m);

// Adds set_spin(), _spin_rules() and _spin_counts() to lumo.ring.
int add_spin_function(PyObject* module);

}  // namespace ring
