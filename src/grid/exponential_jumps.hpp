#pragma once

// E[V(x_i + J)] on the mesh for Kou's double-exponential jump J, in linear time. With V
// linear between nodes, the upward part U_i = E[V(x_i + Y)], Y ~ Exp(eta1), satisfies
//   U_i = e^{-eta1 h} U_{i+1} + (integral over the first cell),
// the cell's integral exact for the linear piece; the downward part runs the same
// recursion from the left. Each starts at the end node from the far field a + b e^x,
// whose expectation is closed: a + b e^x eta1 / (eta1 - 1) upward, a + b e^x eta2 /
// (eta2 + 1) downward.

#include <cmath>
#include <cstddef>
#include <vector>

#include "charfun/jump_measure.hpp"
#include "grid/far_field.hpp"
#include "grid/mesh.hpp"

namespace tarnwick::grid {

// Weights of the cell's two end values in the integral of eta e^{-eta y} over [0, h]
// against the linear interpolant, z = eta h: the far node's is (1 - (1 + z) e^{-z}) / z,
// the near node's the rest of 1 - e^{-z}. The far node's weight loses ~ eps / z to
// cancellation; below z = 1e-4 its series (z/2 - z^2/3 + z^3/8) is exact to double.
struct CellWeights {
    double decay, near, far;
};

inline CellWeights cell_weights(double z) {
    const double mass = -std::expm1(-z);
    const double far = z < 1e-4 ? z * (0.5 - z * (1.0 / 3.0 - z * 0.125)) : (mass - z * std::exp(-z)) / z;
    return {std::exp(-z), mass - far, far};
}

class ExponentialJumpIntegral {
  public:
    ExponentialJumpIntegral(const charfun::ExponentialJumps& jumps, const Mesh& mesh)
        : p_(jumps.p), eta1_(jumps.eta1), eta2_(jumps.eta2), mesh_(mesh),
          up_(cell_weights(jumps.eta1 * mesh.h)), down_(cell_weights(jumps.eta2 * mesh.h)), upward_(mesh.nodes) {}

    void apply(const double* v, const FarField& far, double* out) const {
        const std::size_t n = mesh_.nodes;
        const double top = mesh_.x(n - 1), bottom = mesh_.x(0);
        // A side without weight is skipped: its recursion would multiply 0 by far fields
        // that may overflow (e^x eta1 / (eta1 - 1) near eta1 = 1).
        double u = p_ > 0.0 ? far.right.a + far.right.b * std::exp(top) * (eta1_ / (eta1_ - 1.0)) : 0.0;
        upward_[n - 1] = u;
        for (std::size_t i = n - 1; i-- > 0;) {
            u = up_.decay * u + up_.near * v[i] + up_.far * v[i + 1];
            upward_[i] = u;
        }
        double d = far.left.a + far.left.b * std::exp(bottom) * (eta2_ / (eta2_ + 1.0));
        out[0] = p_ * upward_[0] + (1.0 - p_) * d;
        for (std::size_t i = 1; i < n; ++i) {
            d = down_.decay * d + down_.near * v[i] + down_.far * v[i - 1];
            out[i] = p_ * upward_[i] + (1.0 - p_) * d;
        }
    }

  private:
    double p_, eta1_, eta2_;
    Mesh mesh_;
    CellWeights up_, down_;
    mutable std::vector<double> upward_;
};

}  // namespace tarnwick::grid
