#pragma once
// How long the pool's threads spin, yield and pause before they sleep, in one
// place: the idle workers' search, the callers' wait, and the measured cost of
// a pause that turns those times into counts.
#include <chrono>

namespace kestrix::detail {

using Clock = std::chrono::steady_clock;

inline double ns_since(Clock::time_point t) noexcept {
    return std::chrono::duration<double, std::nano>(Clock::now() - t).count();
}

// Idle search: a round is one search of every queue followed by a short
// wait. The wait ends early when what the thread waits for has happened or
// a job is handed in from outside: both are single flags that cost nothing
// to read until they change, where reading the other workers' deques on
// every pause would take their lines from under their owners.
// The first rounds only pause, so that a hand-off within microseconds
// finds the worker awake; later rounds yield, because on a machine with as
// many workers as cores a spinning thread would otherwise keep the thread
// that holds the work off its core. After that the worker sleeps.
inline constexpr unsigned pause_rounds = 32;
inline constexpr unsigned yield_rounds = 64;
inline constexpr double round_pause_ns = 400;

// Where threads outnumber cores, a waiting thread's spin is taken from a
// thread that has work. A pause round that lasted far longer than it should
// was preempted, and a yield that took several times a bare system call let
// another thread run: both say that this core is wanted. After a few of them
// an idle worker goes to sleep instead of spinning on; a thread waiting for
// its own loop moves on to yielding. On a machine to itself neither happens.
inline constexpr double preempted_ns = 20'000;
inline constexpr double yield_taken_ns = 5'000;
inline constexpr unsigned crowded_after = 3;
// The pause offers the core once every few rounds, to see whether it is wanted.
inline constexpr unsigned probe_rounds = 4;
// An idle worker that went to sleep because its core was wanted (by
// another process, by more workers than cores) would only be woken to want
// it again: for this long after, a pushed half wakes no sleeper, and the
// worker that pushed it runs it unless one already awake takes it. A
// handed-in job still wakes one, since no one else would run it.
inline constexpr double crowd_hold_ns = 1'000'000;
inline constexpr unsigned hold_check_pushes = 64;

// The caller pauses for caller_pause_ns, then yields for a while, then blocks.
// Yielding early is worse for loops of a few microseconds: the caller's core
// goes to a worker only to be taken back when the caller is rescheduled.
// After a loop longer than the pause, the caller starts its next waits with
// the yields: a loop of that length wants every core, the caller's included.
// It pauses first again only after a loop shorter than half the pause, so
// that a loop near one bound does not flip between the two ways. A loop's
// length runs from the hand-in to the moment it was set done, not to the
// caller's return: a caller that gave its core away returns late, and
// counting that would keep short loops in the yields.
inline constexpr double caller_pause_ns = 25'000;
inline constexpr double short_loop_ns = caller_pause_ns / 2;
inline constexpr unsigned caller_yields = 64;
inline constexpr unsigned pause_probe_every = 32;
// The worker that takes a handed-in job gives up its spin slot a moment
// after the hand-in; a caller that finds every slot held looks again for
// this long before it yields instead of pausing.
inline constexpr double caller_slot_ns = 2'000;
// How often a pausing caller offers its core (see CallerLatch::wait).
inline constexpr double caller_probe_ns = 3'000;

// Pauses a thread tries a lock held for a few instructions before it blocks.
inline constexpr int lock_tries = 256;

// How long a pause instruction lasts differs severalfold between
// processors, so the spins above are set in time and converted to pause
// counts with the cost measured once per process (the best of a few runs,
// so that a preemption during one does not shorten every spin).
struct PauseCounts {
    unsigned per_round;
    unsigned caller;
    unsigned caller_slot;
    unsigned caller_probe;
};

const PauseCounts& pause_counts() noexcept;

}  // namespace kestrix::detail
