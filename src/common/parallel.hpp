#pragma once

// Running a batch of independent work items over threads, stoppable from the caller.
//
// Workers take the next item from a shared counter, so that items of very different cost
// (listed costliest first) keep every thread busy to the end. The calling thread does not
// work: it waits in slices and asks `keep_going` between them (the bindings check for
// Ctrl-C there, which needs the interpreter's lock that the workers never touch). When it
// says stop, the stop request goes up, workers finish or abandon their current item (long
// kernels poll the request) and take no other, and the batch returns false: its results
// are partial and must be discarded.
//
// A thread the system refuses to start (a thread limit, memory for its stack) is not an
// error: the batch runs on those that did start, or on the calling thread alone.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/status.hpp"

namespace tarnwick {

struct Schedule {
    unsigned threads;                  // 0: one per hardware thread
    std::function<bool()> keep_going;  // asked every slice; empty: never stops
};

// How long the caller waits between two questions: well below the 0.2 s a user waits for
// Ctrl-C to act, well above the cost of asking.
inline constexpr std::chrono::milliseconds poll_slice{25};
// More workers than this per hardware thread only add start-up time and memory.
inline constexpr unsigned max_threads_per_core = 8;

namespace parallel_detail {

// Items on the calling thread, asking between items once a slice has passed.
template <class Body>
bool run_inline(std::size_t count, const Schedule& schedule, Body& body) {
    auto asked = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        body(i, Stop{});
        if (schedule.keep_going && i + 1 < count && std::chrono::steady_clock::now() - asked >= poll_slice) {
            if (!schedule.keep_going()) return false;
            asked = std::chrono::steady_clock::now();
        }
    }
    return true;
}

}  // namespace parallel_detail

// Calls body(i, stop) for every i in [0, count) on up to schedule.threads workers, no more
// than one per min_per_thread items (starting a thread costs tens of microseconds, more than
// a few cheap items are worth; a batch too small for two runs inline). The body must not
// throw, must only write through its own index's outputs, and should return early once
// stop.requested(). Returns false if the caller's keep_going said stop.
template <class Body>
bool parallel_each(std::size_t count, const Schedule& schedule, std::size_t min_per_thread, Body&& body) {
    const std::size_t by_size = std::max<std::size_t>(1, count / std::max<std::size_t>(1, min_per_thread));
    if (schedule.threads == 1 || by_size == 1) return parallel_detail::run_inline(count, schedule, body);
    // The hardware's count costs a system call (it reads the online processors): only batches
    // that may run on threads ask for it.
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const unsigned threads = schedule.threads != 0 ? std::min(schedule.threads, max_threads_per_core * hardware) : hardware;
    const std::size_t wanted = std::min<std::size_t>(threads, by_size);
    if (wanted <= 1) return parallel_detail::run_inline(count, schedule, body);

    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop_flag{false};
    const Stop stop(stop_flag);
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    const auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < count && !stop.requested(); i = next.fetch_add(1)) body(i, stop);
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_one();
    };
    std::vector<std::thread> workers;
    workers.reserve(wanted);
    for (std::size_t t = 0; t < wanted; ++t) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            break;
        }
    }
    if (workers.empty()) return parallel_detail::run_inline(count, schedule, body);

    bool completed = true;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            if (finished.wait_for(lock, poll_slice, [&] { return running == 0; })) break;
            if (!completed || !schedule.keep_going) continue;
            lock.unlock();
            if (!schedule.keep_going()) {
                completed = false;
                stop_flag.store(true, std::memory_order_relaxed);
            }
            lock.lock();
        }
    }
    for (auto& worker : workers) worker.join();
    return completed;
}

}  // namespace tarnwick
