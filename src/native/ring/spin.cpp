// Adaptive spin before block on receive: the rules are in spin.hpp.
#include "ring/spin.hpp"

#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <cmath>

namespace ring {
namespace {

using pyrt::Ref;

constexpr std::uint8_t kMisses = 4;          // spins in a row that end asleep before a pause
constexpr std::uint16_t kFirstPause = 8;     // waits without spinning after the first failure
constexpr std::uint16_t kMaxPause = 4096;
constexpr std::uint32_t kMinBudgetNs = 4'000;
constexpr std::uint32_t kSlackNs = 2'000;    // the spin outlasts the typical wait by half and this
constexpr std::int64_t kRecheckNs = 1'000'000'000;  // how often the usable CPUs are counted again
constexpr std::int64_t kRecentNs = 20'000'000;      // a preemption older than this is not "now"

std::atomic<bool> enabled{true};
std::atomic<bool> ruled{true};               // false: every wait spins its full budget (for tests)
std::atomic<int> spare_cpus{0};              // CPUs that may spin while one is left for the peer
std::atomic<std::int64_t> counted_at{-kRecheckNs};
std::atomic<int> spinning{0};                // threads of the process spinning now
std::atomic<int> receiving{0};               // threads of the process in Connection.recv()

// What the waits of the process did, for lumo.ring._spin_counts().
enum Count { kPaid, kLost, kPaused, kCrowded, kPreempted, kCounts };
std::atomic<unsigned long long> counts[kCounts];

void count(Count which) { counts[which].fetch_add(1, std::memory_order_relaxed); }

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The CPUs the calling thread may run on, less one for the peer: 0 on a single CPU, where a
// spin only keeps the peer from running.
int count_spare_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return CPU_COUNT(&set) - 1;
}

// Whether the scheduler took the CPU from this thread since its last look, a moment ago:
// others want the CPUs, and a spin would keep them waiting. A preemption long past (the last
// look was before a pause, say) says nothing of now. Read before a spin, while the peer still
// works on its answer.
bool preempted(std::int64_t now) {
  thread_local long seen = -1;
  thread_local std::int64_t seen_at = 0;
  rusage ru;
  if (getrusage(RUSAGE_THREAD, &ru) != 0) return true;
  const bool was = seen >= 0 && ru.ru_nivcsw != seen && now - seen_at < kRecentNs;
  seen = ru.ru_nivcsw;
  seen_at = now;
  return was;
}

// The spin budget of this wait in ns (0: none); counts a pause down.
std::uint32_t budget(SpinState& s) {
  if (s.skip) {
    --s.skip;
    return 0;
  }
  if (!s.seeded) return kSpinCapNs;  // a new channel, or the first try after a pause
  const std::uint32_t b = s.typical_ns + s.typical_ns / 2 + kSlackNs;
  return b < kMinBudgetNs ? kMinBudgetNs : b > kSpinCapNs ? kSpinCapNs : b;
}

void note_wait(SpinState& s, std::int64_t waited_ns) {
  const std::uint32_t w = waited_ns > 2 * kSpinCapNs ? 2 * kSpinCapNs : static_cast<std::uint32_t>(waited_ns);
  s.typical_ns = s.seeded ? (3 * s.typical_ns + w) / 4 : w;
  s.seeded = true;
}

// The data came within the spin: it paid.
void spin_paid(SpinState& s, std::int64_t waited_ns) {
  note_wait(s, waited_ns);
  s.misses = 0;
  s.backoff /= 2;
}

// The channel stops spinning for a number of waits that doubles at each pause in a row (a
// spin that pays halves it again), then tries with the full budget.
void pause_spinning(SpinState& s) {
  s.backoff = s.backoff == 0 ? kFirstPause : s.backoff >= kMaxPause / 2 ? kMaxPause : 2 * s.backoff;
  s.skip = s.backoff;
  s.misses = 0;
  s.seeded = false;
}

// The spin ran out and the thread slept anyway: after a few such waits in a row, or once the
// waits are longer than any spin, the channel pauses its spinning.
void spin_lost(SpinState& s, std::int64_t waited_ns) {
  note_wait(s, waited_ns);
  if (++s.misses >= kMisses || s.typical_ns > kSpinCapNs) pause_spinning(s);
}

// Sleeps in ppoll() until fd is readable, for what is left of the time-out, and reads.
ssize_t sleep_and_read(int fd, char* dst, size_t n, double timeout, std::int64_t start, int* err) {
  for (;;) {
    timespec rest{};
    timespec* limit = nullptr;
    if (timeout >= 0) {
      const double left = timeout - static_cast<double>(now_ns() - start) / 1e9;
      if (left <= 0) {
        *err = ETIMEDOUT;
        return -1;
      }
      const double whole = std::floor(left);
      rest.tv_sec = whole > 1e9 ? 1'000'000'000 : static_cast<time_t>(whole);
      rest.tv_nsec = whole > 1e9 ? 0 : static_cast<long>((left - whole) * 1e9);
      limit = &rest;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ppoll(&p, 1, limit, nullptr);
    if (ready < 0) {
      *err = errno;
      return -1;
    }
    if (ready == 0) continue;  // the limit passed: the next round finds nothing left
    const ssize_t r = recv(fd, dst, n, MSG_DONTWAIT);
    if (r >= 0) return r;
    *err = errno;
    if (*err != EAGAIN && *err != EWOULDBLOCK) return -1;
  }
}

}  // namespace

ssize_t spin_recv(SpinState& s, int fd, char* dst, size_t n, double timeout, int* err) {
  if (!enabled.load(std::memory_order_relaxed)) return kNoSpin;
  const bool rules = ruled.load(std::memory_order_relaxed);
  std::int64_t until = rules ? budget(s) : kSpinCapNs;
  if (until == 0) {
    count(kPaused);
    return kNoSpin;
  }
  const std::int64_t start = now_ns();
  if (start - counted_at.load(std::memory_order_relaxed) >= kRecheckNs) {
    counted_at.store(start, std::memory_order_relaxed);
    spare_cpus.store(count_spare_cpus(), std::memory_order_relaxed);
  }
  // Threads that wait in recv() beyond the CPUs to spare would, once their answers come, queue
  // for the GIL anyway: then a spin only takes a CPU from the thread that holds it.
  const int spare = spare_cpus.load(std::memory_order_relaxed);
  if ((spinning.fetch_add(1, std::memory_order_relaxed) >= spare ||
       receiving.load(std::memory_order_relaxed) > spare) && rules) {
    spinning.fetch_sub(1, std::memory_order_relaxed);
    count(kCrowded);
    return kNoSpin;
  }
  if (rules && preempted(start)) {
    spinning.fetch_sub(1, std::memory_order_relaxed);
    count(kPreempted);
    pause_spinning(s);
    return kNoSpin;
  }
  if (timeout >= 0 && timeout * 1e9 < static_cast<double>(until)) until = static_cast<std::int64_t>(timeout * 1e9);
  until += start;
  ssize_t r;
  std::int64_t end;
  bool paid = true;
  {
    pyrt::NoGil nogil;
    for (;;) {
      r = recv(fd, dst, n, MSG_DONTWAIT);
      *err = r < 0 ? errno : 0;
      end = now_ns();
      if (r >= 0 || (*err != EAGAIN && *err != EWOULDBLOCK) || end >= until) break;
      for (int i = 0; i < 4; ++i) cpu_relax();
    }
    spinning.fetch_sub(1, std::memory_order_relaxed);
    if (r < 0 && (*err == EAGAIN || *err == EWOULDBLOCK)) {
      paid = false;
      r = sleep_and_read(fd, dst, n, timeout, start, err);
      end = now_ns();
    }
  }
  if (paid) {
    count(kPaid);
    spin_paid(s, end - start);
  } else {
    count(kLost);
    spin_lost(s, end - start);
  }
  return r;
}

Receiving::Receiving() noexcept { receiving.fetch_add(1, std::memory_order_relaxed); }
Receiving::~Receiving() { receiving.fetch_sub(1, std::memory_order_relaxed); }

bool hand_over_gil() { return receiving.load(std::memory_order_relaxed) > 0; }

ssize_t send_without_gil(int fd, const msghdr* m) {
  ssize_t r;
  int err;
  {
    pyrt::NoGil nogil;
    r = sendmsg(fd, m, MSG_NOSIGNAL | MSG_DONTWAIT);
    err = errno;
  }
  errno = err;
  return r;
}

namespace {

Ref f_set_spin(pyrt::Func&, PyObject* const* a) {
  if (!PyBool_Check(a[0])) {
    PyErr_Format(PyExc_TypeError, "set_spin() takes True or False, not %.200s", Py_TYPE(a[0])->tp_name);
    return Ref();
  }
  const bool was = enabled.exchange(a[0] == Py_True);
  counted_at.store(-kRecheckNs);  // the CPUs are counted again at the next wait
  return Ref::borrow(was ? Py_True : Py_False);
}

const pyrt::Param p_set_spin[] = {{"flag", "bool"}};
const pyrt::FuncDef d_set_spin{
    "set_spin", "set_spin", p_set_spin, f_set_spin,
    "set_spin(flag)\n\n"
    "Turn the spin before block of every channel of the process on (True, the default) or off\n"
    "(False); returns the previous setting. While a channel's recent replies came back within\n"
    "microseconds, recv() polls the socket without the GIL for a little longer than they took\n"
    "(at most 50 us of CPU a wait, counted toward the time-out) before it sleeps, and so saves\n"
    "the wake-up. It never spins where the thread may run on one CPU only, nor while more\n"
    "threads of the process wait in recv() than there are CPUs less one, nor once the thread\n"
    "was preempted, and pauses on a channel whose spins stop paying, as on an idle connection.",
    "bool"};

Ref f_spin_counts(pyrt::Func&, PyObject* const*) {
  return Ref::steal(Py_BuildValue("{sKsKsKsKsK}", "paid", counts[kPaid].load(), "lost", counts[kLost].load(),
                                  "paused", counts[kPaused].load(), "crowded", counts[kCrowded].load(),
                                  "preempted", counts[kPreempted].load()));
}

const pyrt::FuncDef d_spin_counts{
    "_spin_counts", "_spin_counts", {}, f_spin_counts,
    "The waits of this process so far: spun and paid (the data came within the spin), spun and\n"
    "lost (slept after all), paused (the channel's spinning was paused), crowded (no CPU to\n"
    "spare) and preempted (the thread had lost its CPU to others since its last look, so the\n"
    "channel paused). Waits while spinning is turned off count nowhere.",
    "dict"};

Ref f_spin_rules(pyrt::Func&, PyObject* const* a) {
  const int on = PyObject_IsTrue(a[0]);
  if (on < 0) return Ref();
  return Ref::borrow(ruled.exchange(on != 0) ? Py_True : Py_False);
}

const pyrt::Param p_spin_rules[] = {{"on", "bool"}};
const pyrt::FuncDef d_spin_rules{
    "_spin_rules", "_spin_rules", p_spin_rules, f_spin_rules,
    "With False, every wait of a channel spins its full budget, whatever the CPUs, the other\n"
    "spinning threads and the channel's recent waits (tests use it to reach the spin for sure);\n"
    "True restores the rules. Returns the previous setting.",
    "bool"};

}  // namespace

int add_spin_function(PyObject* module) {
  if (pyrt::add_function(module, d_set_spin) < 0) return -1;
  if (pyrt::add_function(module, d_spin_rules) < 0) return -1;
  return pyrt::add_function(module, d_spin_counts);
}

}  // namespace ring
