// The grid solver's jump integrals against what they must give exactly or to their order:
// E[a + b e^{x + J}] = a + b e^x E[e^J] for the far field's own form, which the integrals
// treat in closed form beyond the mesh and by hat functions on it (error O(h^2), falling by
// 4 when h halves); Merton's FFT correlation against its direct band sum.

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "charfun/jump_measure.hpp"
#include "grid/exponential_jumps.hpp"
#include "grid/mesh.hpp"
#include "grid/normal_jumps.hpp"

namespace {

using namespace tarnwick;

int checks = 0;
int failures = 0;

void expect(bool ok, const std::string& what) {
    ++checks;
    if (!ok && ++failures <= 40) std::printf("FAILED: %s\n", what.c_str());
}

// The largest error of E[V(x_i + J)] for V = a + b e^x on the mesh and beyond.
template <class Integral, class Measure>
double affine_error(const Measure& measure, double mean_exp, const grid::Mesh& mesh, grid::Affine f) {
    const Integral integral(measure, mesh);
    std::vector<double> v(mesh.nodes), out(mesh.nodes);
    for (std::size_t i = 0; i < mesh.nodes; ++i) v[i] = f.at(mesh.x(i));
    integral.apply(v.data(), grid::FarField{f, f}, out.data());
    double worst = 0.0;
    for (std::size_t i = 0; i < mesh.nodes; ++i) {
        const double exact = f.a + f.b * std::exp(mesh.x(i)) * mean_exp;
        worst = std::max(worst, std::abs(out[i] - exact));
    }
    return worst;
}

// On the uniform mesh (width infinite) or one stretched away from x = 0 (mesh.hpp), whose
// cells then differ in length.
template <class Integral, class Measure>
void second_order(const Measure& measure, double mean_exp, const std::string& name,
                  double width = std::numeric_limits<double>::infinity()) {
    const grid::Affine f{0.7, -0.4};
    const double lo = grid::xi_of(-2.0, width), h = -lo / 100.0;
    const grid::Mesh coarse{lo, h, 201, 100, width}, fine{lo, 0.5 * h, 401, 200, width};
    const double e1 = affine_error<Integral>(measure, mean_exp, coarse, f);
    const double e2 = affine_error<Integral>(measure, mean_exp, fine, f);
    // The error scales with the square of the widest cell's length, at the mesh's end.
    const double widest = grid::stretch(-2.0, width);
    expect(e1 < 1e-4 * widest * widest && e2 > 0.0 && e1 / e2 > 3.5 && e1 / e2 < 4.5,
           name + ": errors " + std::to_string(e1) + ", " + std::to_string(e2) + " fall as h^2");
    // Constants are integrated exactly: the hats and the far field make up the whole law.
    expect(affine_error<Integral>(measure, mean_exp, coarse, {1.0, 0.0}) < 1e-14, name + ": constants exact");
}

}  // namespace

int main() {
    const charfun::ExponentialJumps kou{1.0, 0.4, 10.0, 5.0};
    second_order<grid::ExponentialJumpIntegral>(kou, 0.4 * 10.0 / 9.0 + 0.6 * 5.0 / 6.0, "kou");
    second_order<grid::ExponentialJumpIntegral>(kou, 0.4 * 10.0 / 9.0 + 0.6 * 5.0 / 6.0, "kou, stretched", 0.5);
    const charfun::NormalJumps narrow{1.0, -0.05, 0.02}, wide{1.0, -0.9, 0.45};  // bands of ~45 and ~900 nodes
    second_order<grid::NormalJumpIntegral>(narrow, std::exp(-0.05 + 0.0002), "merton, direct band");
    second_order<grid::NormalJumpIntegral>(wide, std::exp(-0.9 + 0.10125), "merton, FFT band");

    // The FFT path against the direct sum of the same weights: a band just too wide for the
    // direct path, the direct sum taken over the mesh's hats by hand.
    const grid::Mesh mesh{-1.0, 0.01, 201, 100};
    const grid::NormalJumpIntegral by_fft(wide, mesh);
    std::vector<double> v(mesh.nodes), out(mesh.nodes);
    for (std::size_t i = 0; i < mesh.nodes; ++i) v[i] = std::max(-std::expm1(mesh.x(i)), 0.0) + 0.1 * std::sin(7.0 * i);
    const grid::FarField far{{1.0, -1.0}, {0.0, 0.0}};
    by_fft.apply(v.data(), far, out.data());
    double worst = 0.0;
    for (std::size_t i = 0; i < mesh.nodes; ++i) {
        // The hat of node k at offset y = x_k - x_i, integrated against the density by a fine
        // midpoint rule, plus the far field's closed form.
        double sum = 0.0;
        const double xi = mesh.x(i);
        for (std::size_t k = 0; k < mesh.nodes; ++k) {
            double weight = 0.0;
            const int steps = 400;
            for (int j = 0; j < steps; ++j) {
                const double t = -1.0 + (j + 0.5) * 2.0 / steps;  // in units of h around node k
                if ((k == 0 && t < 0.0) || (k + 1 == mesh.nodes && t > 0.0)) continue;
                const double y = mesh.x(k) + t * mesh.h - xi, z = (y - wide.m) / wide.s;
                weight += (1.0 - std::abs(t)) * std::exp(-0.5 * z * z) / (wide.s * std::sqrt(2.0 * M_PI)) * mesh.h * 2.0 / steps;
            }
            sum += weight * v[k];
        }
        const double down = mesh.x(0) - xi;
        const double mass = 0.5 * std::erfc(-(down - wide.m) / wide.s / std::sqrt(2.0));
        const double tilted = std::exp(xi + wide.m + 0.5 * wide.s * wide.s) *
                              0.5 * std::erfc(-((down - wide.m) / wide.s - wide.s) / std::sqrt(2.0));
        worst = std::max(worst, std::abs(out[i] - (sum + far.left.a * mass + far.left.b * tilted)));
    }
    expect(worst < 1e-9, "merton: FFT correlation against the hats summed directly, worst " + std::to_string(worst));

    std::printf("%d checks, %d failed (FFT against direct: %.1e)\n", checks, failures, worst);
    return failures == 0 ? 0 : 1;
}
