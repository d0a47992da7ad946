#pragma once

// Splitting a batch of independent evaluations over threads.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tarnwick {

// Calls body(begin, end) on contiguous blocks that cover [0, count), each block on a
// thread of its own, and returns once all are done. At most `threads` blocks run (0 means
// one per hardware thread), and no block is smaller than `min_block`: starting a thread
// costs tens of microseconds, more than a few cheap evaluations are worth. The calling
// thread works the first block itself. The body must not throw and must only write
// through its own range of indices, so that the blocks never share a write.
template <class Body>
void parallel_for(std::size_t count, unsigned threads, std::size_t min_block, Body&& body) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t by_size = std::max<std::size_t>(1, count / std::max<std::size_t>(1, min_block));
    const std::size_t blocks = std::min<std::size_t>(threads, by_size);
    if (blocks <= 1) {
        body(std::size_t{0}, count);
        return;
    }
    std::vector<std::thread> workers;
    workers.reserve(blocks - 1);
    // Block b covers [count * b / blocks, count * (b + 1) / blocks): sizes differ by one at most.
    const auto bound = [count, blocks](std::size_t b) { return count / blocks * b + count % blocks * b / blocks; };
    for (std::size_t b = 1; b < blocks; ++b) {
        workers.emplace_back([&body, begin = bound(b), end = bound(b + 1)] { body(begin, end); });
    }
    body(std::size_t{0}, bound(1));
    for (auto& worker : workers) worker.join();
}

// Calls body(i) for every i in [0, count) on threads as parallel_for would start them
// (min_per_thread playing min_block), each taking the next index from a shared counter.
// For items of very different cost, listed costliest first, this keeps the threads
// busy to the end, where fixed blocks leave one waiting for the other. The same body rules
// apply, per index.
template <class Body>
void parallel_each(std::size_t count, unsigned threads, std::size_t min_per_thread, Body&& body) {
    std::atomic<std::size_t> next{0};
    parallel_for(count, threads, min_per_thread, [&](std::size_t, std::size_t) {
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) body(i);
    });
}

}  // namespace tarnwick
