// Work split over threads: indices handed out in increasing order, and turns
// that put the results of parallel work back in that order.
#pragma once

#include <pthread.h>

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
// would have no way back to the caller. On a thread with an open pool the
// work goes to the pool's threads, else to threads started for this call.
void parallel_for(uint32_t threads, uint64_t n, void (*fn)(void* context, uint64_t i, uint32_t thread),
                  void* context);

struct parallel_job;

// Threads kept for one job of the library: started by the first parallel_for
// that needs them on the thread that opened the pool, and waiting for the
// next between two, so that a job starts each thread once, not once per
// pass. The record lives on the opening thread's stack.
struct parallel_pool {
    parallel_pool* outer;      // the pool open before this one on its thread, or null
    bool running;              // a parallel_for is handing work to the helpers
    uint32_t tried;            // helper starts tried, started or not
    uint32_t helpers;          // helpers started
    pthread_t started[parallel_most_threads];
    std::mutex lock;
    std::condition_variable wake; // a new job, or the pool closing
    std::condition_variable idle; // the last helper left the job
    uint64_t generation;       // jobs handed out; changes under lock
    uint64_t started_at;       // the generation before the job that helpers start for
    parallel_job* job;         // the current job
    std::atomic<uint32_t> busy; // helpers not yet done with the current job
    bool closing;
};

// Opens *pool for the calling thread's parallel_for calls until
// parallel_pool_close, which gives the thread back the pool it had before.
void parallel_pool_open(parallel_pool* pool);

// Ends the pool's threads, which have finished the work they were given,
// and makes the pool open before it current again.
void parallel_pool_close(parallel_pool* pool);

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
