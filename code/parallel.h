// Work split over threads: indices handed out in increasing order, and turns
// that put the results of parallel work back in that order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace subdiv {

// The threads this process may run on (at least 1).
uint32_t parallel_default_threads();

// The most threads a job runs with: more only wait on each other.
constexpr uint32_t parallel_most_threads = 1024;

// The threads a job runs with: requested, or the default for 0, at most
// parallel_most_threads.
uint32_t parallel_threads(uint32_t requested);

// Runs fn(context, i, thread) for every i in [0, n), on `threads` threads at
// most, the caller's among them (thread 0): each takes the next index not yet
// taken, so the indices start in increasing order. With one thread, or for
// n = 1, everything runs on the caller's thread in order. A thread that the
// system does not start leaves its share to those that did, whose numbers
// follow each other from 0. fn must not allocate: a refusal on another thread
// would have no way back to the caller.
void parallel_for(uint32_t threads, uint64_t n, void (*fn)(void* context, uint64_t i, uint32_t thread),
                  void* context);

// Test hook: the next n threads that parallel_for starts fail to start, as
// when the system refuses them; 0 lets every one start.
void parallel_fail_thread_starts(uint32_t n);

// Turns in increasing order: the holder of turn i waits until every turn
// before it has passed, so that results made in parallel are handed on (to
// a file) in order. Turns are numbered from 0 as they are first waited for.
struct parallel_turns {
    std::mutex lock;
    std::condition_variable passed;
    std::atomic<uint64_t> next; // the turn that may go now; changes under lock
};

// Waits until turn i may go: a short while watching, then asleep. What the
// turns before it did is then visible.
void parallel_turn_wait(parallel_turns* turns, uint64_t i);

// Ends the turn that went: the next may go.
void parallel_turn_pass(parallel_turns* turns);

// parallel_for over [0, n) in ranges of `block` indices: body(first, end, i,
// thread) for range i, [first, end).
template <typename Body>
inline void parallel_ranges(uint32_t threads, uint64_t n, uint64_t block, const Body& body)
{
    struct ranges {
        const Body* body;
        uint64_t n, block;
    };
    ranges whole = {&body, n, block};
    auto run = [](void* context, uint64_t i, uint32_t thread) {
        const auto* r = static_cast<const ranges*>(context);
        const uint64_t first = i * r->block;
        const uint64_t end = r->n - first < r->block ? r->n : first + r->block;
        (*r->body)(first, end, i, thread);
    };
    parallel_for(threads, (n + block - 1) / block, run, &whole);
}

} // namespace subdiv
