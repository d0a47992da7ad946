#pragma once

// The error channel of the numerical kernels: a status beside each value, as special
// functions report theirs. A kernel that cannot reach its accuracy says why and its value
// is not to be used (the batch sets it to NaN); it never returns a plausible number.

#include <atomic>
#include <cstdint>

namespace tarnwick {

// The codes are those the pricing API's status arrays carry.
enum class Status : std::int8_t {
    ok = 0,
    node_limit = 1,   // a quadrature reached its bound on nodes before its tail test held
    not_finite = 2,   // an intermediate value was NaN or infinite
    interrupted = 3,  // stopped on request (Ctrl-C); the caller discards the value
};

// A request to stop, shared by the threads of one batch: long kernels poll it between
// blocks of work. Default-constructed it is never raised.
class Stop {
  public:
    Stop() = default;
    explicit Stop(const std::atomic<bool>& flag) : flag_(&flag) {}
    bool requested() const { return flag_ != nullptr && flag_->load(std::memory_order_relaxed); }

  private:
    const std::atomic<bool>* flag_ = nullptr;
};

}  // namespace tarnwick
