// Work split over threads.
#include "parallel.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>

namespace subdiv {

uint32_t parallel_default_threads()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return uint32_t(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

uint32_t parallel_threads(uint32_t requested)
{
    const uint32_t threads = requested > 0 ? requested : parallel_default_threads();
    return threads < parallel_most_threads ? threads : parallel_most_threads;
}

namespace {

struct parallel_job {
    void (*fn)(void* context, uint64_t i, uint32_t thread);
    void* context;
    uint64_t n;
    std::atomic<uint64_t> next;
    std::atomic<uint32_t> next_thread; // the number the next helper that starts takes
};

} // namespace

// Thread starts the test hook still fails; a constant at start, as the
// library runs no code before main.
static std::atomic<uint32_t> failing_starts{0};

void parallel_fail_thread_starts(uint32_t n) { failing_starts.store(n); }

static void parallel_work(parallel_job* job, uint32_t thread)
{
    for (uint64_t i = job->next.fetch_add(1); i < job->n; i = job->next.fetch_add(1))
        job->fn(job->context, i, thread);
}

static void* parallel_helper(void* context)
{
    auto* job = static_cast<parallel_job*>(context);
    parallel_work(job, job->next_thread.fetch_add(1));
    return nullptr;
}

// Starts a helper thread on the job into *id; false when the system (or the
// test hook) refuses it.
static bool parallel_start(parallel_job* job, pthread_t* id)
{
    uint32_t failing = failing_starts.load();
    while (failing > 0 && !failing_starts.compare_exchange_weak(failing, failing - 1))
        ;
    return failing == 0 && pthread_create(id, nullptr, parallel_helper, job) == 0;
}

void parallel_for(uint32_t threads, uint64_t n, void (*fn)(void* context, uint64_t i, uint32_t thread),
                  void* context)
{
    if (threads <= 1 || n <= 1) {
        for (uint64_t i = 0; i < n; ++i) fn(context, i, 0);
        return;
    }
    parallel_job job;
    job.fn = fn;
    job.context = context;
    job.n = n;
    job.next = 0;
    job.next_thread = 1;
    // the helpers' ids on the stack: starting threads allocates nothing here
    const uint32_t helpers = uint32_t(threads - 1 < n - 1 ? threads - 1 : n - 1);
    pthread_t started[parallel_most_threads];
    uint32_t n_started = 0;
    for (uint32_t t = 0; t < helpers; ++t)
        if (parallel_start(&job, &started[n_started])) n_started += 1;
    // the caller's thread works too, so a job whose helpers all failed still ends
    parallel_work(&job, 0);
    for (uint32_t t = 0; t < n_started; ++t) pthread_join(started[t], nullptr);
}

// Checks of a waiting turn before it sleeps: turns pass often within
// microseconds, far less than a thread takes to wake.
static const int turn_spins = 2000;

void parallel_turn_wait(parallel_turns* turns, uint64_t i)
{
    for (int spin = 0; spin < turn_spins; ++spin) {
        if (turns->next.load(std::memory_order_acquire) == i) return;
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    std::unique_lock<std::mutex> hold(turns->lock);
    turns->passed.wait(hold, [turns, i] { return turns->next.load(std::memory_order_acquire) == i; });
}

void parallel_turn_pass(parallel_turns* turns)
{
    {
        std::lock_guard<std::mutex> hold(turns->lock);
        turns->next.fetch_add(1, std::memory_order_acq_rel);
    }
    turns->passed.notify_all();
}

} // namespace subdiv
