#pragma once

// The scheme of a Lévy model: its increments over any step are drawn exactly (the drift,
// a normal, a Poisson count of jumps and each jump's size), so paths have the model's law
// at every grid time whatever the step lengths.

#include <cstddef>
#include <vector>

#include "charfun/levy.hpp"

namespace tarnwick::simulation {

template <class Exponent>
class ExactLevy {
  public:
    struct State {};

    // The scheme over steps of lengths dt[0 .. steps), each step's constants computed once.
    ExactLevy(const charfun::Levy<Exponent>& model, const double* dt, std::size_t steps) {
        steps_.reserve(steps);
        for (std::size_t j = 0; j < steps; ++j) steps_.push_back(model.step(dt[j]));
    }

    State start() const { return {}; }

    // X over step j.
    template <class Generator>
    double increment(std::size_t j, State&, Generator& g) const {
        return steps_[j].draw(g);
    }

  private:
    std::vector<typename charfun::Levy<Exponent>::Step> steps_;
};

}  // namespace tarnwick::simulation
