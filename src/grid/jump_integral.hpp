#pragma once

// The jump integral's evaluator for each form of jump measure (charfun/jump_measure.hpp):
// E[V(x_i + J)] on the mesh, given the far field beyond its ends. Black-Scholes has none.

#include "charfun/jump_measure.hpp"
#include "grid/exponential_jumps.hpp"
#include "grid/far_field.hpp"
#include "grid/mesh.hpp"
#include "grid/normal_jumps.hpp"

namespace tarnwick::grid {

struct NoJumpIntegral {
    static constexpr bool stretchable = true;
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
