#pragma once

// E[V(x_i + J)] on the mesh for Kou's double-exponential jump J, in linear time. With V
// linear between nodes, the upward part U_i = E[V(x_i + Y)], Y ~ Exp(eta1), satisfies
//   U_i = e^{-eta1 h_i} U_{i+1} + (integral over the cell [x_i, x_{i+1}] of length h_i),
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

// Weights of the cell's two end values in the integral of eta e^{-eta y} over [0, h_i]
// against the linear interpolant, z = eta h_i: the far node's is (1 - (1 + z) e^{-z}) / z,
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
    // Linear time on any cells.
    static bool fits(const charfun::ExponentialJumps&, const Mesh&) { return true; }
    // The widest cell whose error stays second order: a jump much shorter than its cell
    // samples the linear interpolant within the cell, whose error there is first order in
    // the cell's length.
    static double widest_cell(const charfun::ExponentialJumps& jumps) {
        return 2.0 / std::max(jumps.eta1, jumps.eta2);
    }
    ExponentialJumpIntegral(const charfun::ExponentialJumps& jumps, const Mesh& mesh)
        : p_(jumps.p), eta1_(jumps.eta1), eta2_(jumps.eta2), x_(mesh.nodes), cells_(mesh.nodes),
          upward_(mesh.nodes) {
        for (std::size_t i = 0; i < mesh.nodes; ++i) x_[i] = mesh.x(i);
        for (std::size_t i = 0; i + 1 < mesh.nodes; ++i) {
            const double h = x_[i + 1] - x_[i];
            cells_[i] = {cell_weights(eta1_ * h), cell_weights(eta2_ * h)};
        }
    }

    // The two recursions run in one loop, from either end: each is a chain of a product
    // and a sum per node, and two independent chains overlap where one after the other
    // would wait out both. The downward one is kept in `out` until the two are weighted.
    void apply(const double* v, const FarField& far, double* out) const {
        const std::size_t n = x_.size();
        // A side without weight is skipped: its recursion would multiply 0 by far fields
        // that may overflow (e^x eta1 / (eta1 - 1) near eta1 = 1).
        double u = p_ > 0.0 ? far.right.a + far.right.b * std::exp(x_[n - 1]) * (eta1_ / (eta1_ - 1.0)) : 0.0;
        double d = far.left.a + far.left.b * std::exp(x_[0]) * (eta2_ / (eta2_ + 1.0));
        upward_[n - 1] = u;
        out[0] = d;
        for (std::size_t k = 1; k < n; ++k) {
            const std::size_t i = n - 1 - k;
            const CellWeights &up = cells_[i].up, &down = cells_[k - 1].down;
            u = up.decay * u + up.near * v[i] + up.far * v[i + 1];
            d = down.decay * d + down.near * v[k] + down.far * v[k - 1];
            upward_[i] = u;
            out[k] = d;
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = p_ * upward_[i] + (1.0 - p_) * out[i];
    }

  private:
    // The weights of cell [x_i, x_{i+1}] seen from either end.
    struct Cell {
        CellWeights up, down;
    };
    double p_, eta1_, eta2_;
    std::vector<double> x_;
    std::vector<Cell> cells_;
    mutable std::vector<double> upward_;
};

}  // namespace tarnwick::grid
