#pragma once

// Running a batch of independent work items over threads, stoppable from the caller.
//
// Workers take the next item from a shared counter, so that items of very different cost
// (listed costliest first) keep every thread busy to the end. Between items, and in slices
// while it waits, the calling thread asks `keep_going` (the bindings check for Ctrl-C
// there, which needs the interpreter's lock that the workers never touch). When it says
// stop, the stop request goes up, workers finish or abandon their current item (long
// kernels poll the request) and take no other, and the batch returns false: its results
// are partial and must be discarded.
//
// The calling thread takes items too where every item is short (Caller::works): a thread
// costs tens to a hundred microseconds to start and join, a good part of a small batch,
// and the caller's questions then wait at most one short item. Where an item may run for
// seconds (a grid solve), the caller only waits and asks (Caller::waits).
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

// Takes items from `next` until none is left or a stop is requested, asking keep_going once
// a slice has passed since the last question (at `asked`) between two items. Returns false
// if it said stop.
template <class Body>
bool work_and_ask(std::atomic<std::size_t>& next, std::size_t count, const Schedule& schedule, Stop stop,
                  std::chrono::steady_clock::time_point& asked, Body& body) {
    for (std::size_t i = next.fetch_add(1); i < count && !stop.requested(); i = next.fetch_add(1)) {
        body(i, stop);
        if (schedule.keep_going && std::chrono::steady_clock::now() - asked >= poll_slice) {
            if (!schedule.keep_going()) return false;
            asked = std::chrono::steady_clock::now();
        }
    }
    return true;
}

}  // namespace parallel_detail

enum class Caller { waits, works };

// Calls body(i, stop) for every i in [0, count) on up to schedule.threads threads (the
// caller one of them if it works), no more than one per min_per_thread items (a few cheap
// items are not worth a thread's start; a batch too small for two runs on the caller). The
// body must not throw, must only write through its own index's outputs, and should return
// early once stop.requested(). Returns false if the caller's keep_going said stop.
template <class Body>
bool parallel_each(std::size_t count, const Schedule& schedule, std::size_t min_per_thread, Caller caller,
                   Body&& body) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop_flag{false};
    const Stop stop(stop_flag);
    auto asked = std::chrono::steady_clock::now();
    const auto work_here = [&] { return parallel_detail::work_and_ask(next, count, schedule, stop, asked, body); };
    const std::size_t by_size = std::max<std::size_t>(1, count / std::max<std::size_t>(1, min_per_thread));
    if (schedule.threads == 1 || by_size == 1) return work_here();
    // The hardware's count costs a system call (it reads the online processors): only batches
    // that may run on threads ask for it.
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const unsigned threads = schedule.threads != 0 ? std::min(schedule.threads, max_threads_per_core * hardware) : hardware;
    const std::size_t wanted = std::min<std::size_t>(threads, by_size);
    if (wanted <= 1) return work_here();

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
    const std::size_t started = caller == Caller::works ? wanted - 1 : wanted;
    workers.reserve(started);
    for (std::size_t t = 0; t < started; ++t) {
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

    // With no worker started the caller works whatever the items.
    bool completed = true;
    if (caller == Caller::works || workers.empty()) {
        completed = work_here();
        if (!completed) stop_flag.store(true, std::memory_order_relaxed);
    }
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
