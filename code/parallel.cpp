// Work split over threads.
#include "parallel.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>

#include "check.h"

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

struct parallel_job {
    void (*fn)(void* context, uint64_t i, uint32_t thread);
    void* context;
    uint64_t n;
    std::atomic<uint64_t> next;
    std::atomic<uint32_t> next_thread; // the number the next helper that joins takes
    uint32_t threads;                  // the most threads that work on it, the caller's among them
};

// Thread starts the test hook still fails; a constant at start, as the
// library runs no code before main.
static std::atomic<uint32_t> failing_starts{0};

void parallel_fail_thread_starts(uint32_t n) { failing_starts.store(n); }

// The pool the calling thread opened last, or null.
static thread_local parallel_pool* current_pool = nullptr;

static void parallel_work(parallel_job* job, uint32_t thread)
{
    for (uint64_t i = job->next.fetch_add(1); i < job->n; i = job->next.fetch_add(1))
        job->fn(job->context, i, thread);
}

// A helper's share of a job: a number below the job's threads, or none when
// enough helpers joined already.
static void parallel_join(parallel_job* job)
{
    const uint32_t thread = job->next_thread.fetch_add(1);
    if (thread < job->threads) parallel_work(job, thread);
}

// Whether the system (or the test hook) lets one more thread start.
static bool parallel_may_start()
{
    uint32_t failing = failing_starts.load();
    while (failing > 0 && !failing_starts.compare_exchange_weak(failing, failing - 1))
        ;
    return failing == 0;
}

static void* parallel_helper(void* context)
{
    parallel_join(static_cast<parallel_job*>(context));
    return nullptr;
}

// Checks of a helper of a pool for the next job before it sleeps: the passes
// of a job often follow each other within microseconds.
static const int pool_spins = 2000;

static void* pool_helper(void* context)
{
    auto* pool = static_cast<parallel_pool*>(context);
    // the job the helper was started for is the first after this one
    uint64_t seen = pool->started_at;
    for (;;) {
        parallel_job* job = nullptr;
        {
            std::unique_lock<std::mutex> hold(pool->lock);
            if (pool->generation == seen && !pool->closing) {
                hold.unlock();
                for (int spin = 0; spin < pool_spins; ++spin) {
                    if (__atomic_load_n(&pool->generation, __ATOMIC_ACQUIRE) != seen) break;
#if defined(__x86_64__)
                    __builtin_ia32_pause();
#endif
                }
                hold.lock();
                pool->wake.wait(hold, [pool, seen] { return pool->generation != seen || pool->closing; });
            }
            if (pool->generation == seen) return nullptr; // closing, no job left
            seen = pool->generation;
            job = pool->job;
        }
        parallel_join(job);
        if (pool->busy.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> hold(pool->lock);
            pool->idle.notify_one();
        }
    }
}

void parallel_pool_open(parallel_pool* pool)
{
    pool->outer = current_pool;
    pool->running = false;
    pool->tried = 0;
    pool->helpers = 0;
    pool->generation = 0;
    pool->started_at = 0;
    pool->job = nullptr;
    pool->busy = 0;
    pool->closing = false;
    current_pool = pool;
}

void parallel_pool_close(parallel_pool* pool)
{
    CHECK(current_pool == pool && !pool->running, "parallel_pool_close: not the open pool");
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->closing = true;
    }
    pool->wake.notify_all();
    for (uint32_t t = 0; t < pool->helpers; ++t) pthread_join(pool->started[t], nullptr);
    current_pool = pool->outer;
}

// The job on the pool's helpers and the caller's thread: starts the helpers
// it lacks (once each), hands the job to every helper and works on it until
// every helper has left it.
static void pool_run(parallel_pool* pool, parallel_job* job, uint32_t helpers)
{
    pool->running = true;
    pool->started_at = pool->generation;
    for (; pool->tried < helpers; ++pool->tried)
        if (parallel_may_start() &&
            pthread_create(&pool->started[pool->helpers], nullptr, pool_helper, pool) == 0)
            pool->helpers += 1;
    if (pool->helpers > 0) {
        pool->busy.store(pool->helpers, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> hold(pool->lock);
            pool->job = job;
            __atomic_store_n(&pool->generation, pool->generation + 1, __ATOMIC_RELEASE);
        }
        pool->wake.notify_all();
    }
    // the caller's thread works too, so a job whose helpers all failed still ends
    parallel_work(job, 0);
    if (pool->helpers > 0) {
        for (int spin = 0; spin < pool_spins; ++spin) {
            if (pool->busy.load(std::memory_order_acquire) == 0) break;
#if defined(__x86_64__)
            __builtin_ia32_pause();
#endif
        }
        std::unique_lock<std::mutex> hold(pool->lock);
        pool->idle.wait(hold, [pool] { return pool->busy.load(std::memory_order_acquire) == 0; });
    }
    pool->running = false;
}

void parallel_for(uint32_t threads, uint64_t n, void (*fn)(void* context, uint64_t i, uint32_t thread),
                  void* context)
{
    if (threads <= 1 || n <= 1) {
        for (uint64_t i = 0; i < n; ++i) fn(context, i, 0);
        return;
    }
    if (threads > parallel_most_threads) threads = parallel_most_threads;
    parallel_job job;
    job.fn = fn;
    job.context = context;
    job.n = n;
    job.next = 0;
    job.next_thread = 1;
    const uint32_t helpers = uint32_t(threads - 1 < n - 1 ? threads - 1 : n - 1);
    job.threads = helpers + 1;
    parallel_pool* pool = current_pool;
    if (pool && !pool->running) {
        pool_run(pool, &job, helpers);
        return;
    }
    // the helpers' ids on the stack: starting threads allocates nothing here
    pthread_t started[parallel_most_threads];
    uint32_t n_started = 0;
    for (uint32_t t = 0; t < helpers; ++t)
        if (parallel_may_start() &&
            pthread_create(&started[n_started], nullptr, parallel_helper, &job) == 0)
            n_started += 1;
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
