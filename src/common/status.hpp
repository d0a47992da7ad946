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
    unresolved = 4,   // the grid's two meshes disagree too far for their extrapolation
};

// A request to stop, shared by the threads of one batch: long kernels poll it between
// blocks of work. Default-constructed it is never raised. The calling thread's own Stop
// also carries its question to its caller (parallel.hpp asks it at most once per slice),
// so that a kernel the caller runs itself stops on Ctrl-C as the workers' do.
class Stop {
  public:
    using Question = bool (*)(void*);  // true: stop
    Stop() = default;
    explicit Stop(const std::atomic<bool>& flag, Question ask = nullptr, void* asker = nullptr)
        : flag_(&flag), ask_(ask), asker_(asker) {}
    bool requested() const {
        if (flag_ != nullptr && flag_->load(std::memory_order_relaxed)) return true;
        return ask_ != nullptr && ask_(asker_);
    }

  private:
    const std::atomic<bool>* flag_ = nullptr;
    Question ask_ = nullptr;
    void* asker_ = nullptr;
};

}  // namespace tarnwick
