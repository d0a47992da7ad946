#pragma once

// Running a batch of independent work items over threads, stoppable from the caller.
//
// Workers take the next item from a shared counter, so that items of very different cost
// (listed costliest first) keep every thread busy to the end. The calling thread works
// too (a thread costs tens to a hundred microseconds to start and join, a good part of a
// small batch) and asks `keep_going` once a slice has passed: between its items, whenever
// its kernel polls its Stop, and in slices while it waits for the workers' last items (the
// bindings check for Ctrl-C there, which needs the interpreter's lock that the workers
// never touch). When it says stop, the stop request goes up, workers finish or abandon
// their current item (long kernels poll the request) and take no other, and the batch
// returns false: its results are partial and must be discarded.
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

// The calling thread's questions to keep_going, at most one per slice; a stop raises the
// batch's request.
class Asker {
  public:
    Asker(const Schedule& schedule, std::atomic<bool>& flag)
        : schedule_(schedule), flag_(flag), asked_(std::chrono::steady_clock::now()) {}
    static bool ask(void* self) { return static_cast<Asker*>(self)->stop_now(); }
    bool stopped() const { return stopped_; }

  private:
    bool stop_now() {
        if (stopped_) return true;
        if (!schedule_.keep_going) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - asked_ < poll_slice) return false;
        asked_ = now;
        if (schedule_.keep_going()) return false;
        stopped_ = true;
        flag_.store(true, std::memory_order_relaxed);
        return true;
    }

    const Schedule& schedule_;
    std::atomic<bool>& flag_;
    std::chrono::steady_clock::time_point asked_;
    bool stopped_ = false;
};

}  // namespace parallel_detail

// Calls body(i, stop) for every i in [0, count) on up to schedule.threads threads, the
// caller one of them, no more than one per min_per_thread items (a few cheap items are not
// worth a thread's start; a batch too small for two runs on the caller alone). The body
// must not throw, must only write through its own index's outputs, and should return early
// once stop.requested(). Returns false if the caller's keep_going said stop.
template <class Body>
bool parallel_each(std::size_t count, const Schedule& schedule, std::size_t min_per_thread, Body&& body) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop_flag{false};
    parallel_detail::Asker asker(schedule, stop_flag);
    const Stop stop(stop_flag), callers_stop(stop_flag, &parallel_detail::Asker::ask, &asker);
    // Items until none is left or the stop is requested; the caller's Stop also asks.
    const auto take_items = [&](const Stop& own) {
        for (std::size_t i = next.fetch_add(1); i < count && !own.requested(); i = next.fetch_add(1)) body(i, own);
    };
    const auto work_here = [&] {
        take_items(callers_stop);
        return !asker.stopped();
    };
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
        take_items(stop);
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_one();
    };
    std::vector<std::thread> workers;
    workers.reserve(wanted - 1);
    for (std::size_t t = 1; t < wanted; ++t) {
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

    bool completed = work_here();
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
