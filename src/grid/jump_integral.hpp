#pragma once

// The jump integral's evaluator for each form of jump measure (charfun/jump_measure.hpp):
// E[V(x_i + J)] on the mesh, given the far field beyond its ends, and whether its cost on
// a stretched mesh is within bounds (fits). Black-Scholes has none.

#include <limits>

#include "charfun/jump_measure.hpp"
#include "grid/exponential_jumps.hpp"
#include "grid/far_field.hpp"
#include "grid/mesh.hpp"
#include "grid/normal_jumps.hpp"

namespace tarnwick::grid {

struct NoJumpIntegral {
    static bool fits(const charfun::NoJumps&, const Mesh&) { return true; }
    static double widest_cell(const charfun::NoJumps&) { return std::numeric_limits<double>::infinity(); }
    NoJumpIntegral(const charfun::NoJumps&, const Mesh&) {}
    void apply(const double*, const FarField&, double*) const {}
};

template <class Measure>
struct JumpIntegralOf;
template <>
struct JumpIntegralOf<charfun::NoJumps> {
    using type = NoJumpIntegral;
};
template <>
struct JumpIntegralOf<charfun::ExponentialJumps> {
    using type = ExponentialJumpIntegral;
};
template <>
struct JumpIntegralOf<charfun::NormalJumps> {
    using type = NormalJumpIntegral;
};

template <class Measure>
using JumpIntegral = typename JumpIntegralOf<Measure>::type;

}  // namespace tarnwick::grid
