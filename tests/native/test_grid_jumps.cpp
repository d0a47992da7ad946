// The grid solver's jump integrals against what they must give exactly or to their order:
// E[a + b e^{x + J}] = a + b e^x E[e^J] for the far field's own form, which the integrals
// treat in closed form beyond the mesh and by hat functions on it (error O(h^2), falling by
// 4 when h halves); Merton's weights, per offset on the uniform mesh (by FFT) and per row on
// a stretched one, against the hats integrated by hand, and its panels against the rows.

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
                  double width = std::numeric_limits<double>::infinity(), double constants = 1e-14) {
    const grid::Affine f{0.7, -0.4};
    const double lo = grid::xi_of(-2.0, width), h = -lo / 100.0;
    const grid::Mesh coarse{lo, h, 201, 100, width}, fine{lo, 0.5 * h, 401, 200, width};
    const double e1 = affine_error<Integral>(measure, mean_exp, coarse, f);
    const double e2 = affine_error<Integral>(measure, mean_exp, fine, f);
    // The error scales with the square of the widest cell's length, at the mesh's end.
    const double widest = grid::stretch(-2.0, width);
    expect(e1 < 1e-4 * widest * widest && e2 > 0.0 && e1 / e2 > 3.5 && e1 / e2 < 4.5,
           name + ": errors " + std::to_string(e1) + ", " + std::to_string(e2) + " fall as h^2");
    // Constants are integrated exactly (the panels: to their interpolant's error): the hats
    // and the far field make up the whole law.
    expect(affine_error<Integral>(measure, mean_exp, coarse, {1.0, 0.0}) < constants, name + ": constants exact");
}

// The largest difference between Merton's integral and the hat of every node k at offset
// y = x_k - x_i integrated against the density by a fine midpoint rule, plus the far
// field's closed form.
double against_hats(const charfun::NormalJumps& law, const grid::Mesh& mesh) {
    const grid::NormalJumpIntegral integral(law, mesh);
    std::vector<double> v(mesh.nodes), out(mesh.nodes);
    for (std::size_t i = 0; i < mesh.nodes; ++i) v[i] = std::max(-std::expm1(mesh.x(i)), 0.0) + 0.1 * std::sin(7.0 * i);
    const grid::FarField far{{1.0, -1.0}, {0.0, 0.0}};
    integral.apply(v.data(), far, out.data());
    double worst = 0.0;
    for (std::size_t i = 0; i < mesh.nodes; ++i) {
        double sum = 0.0;
        const double xi = mesh.x(i);
        for (std::size_t k = 0; k < mesh.nodes; ++k) {
            double weight = 0.0;
            const int steps = 400;
            for (int j = 0; j < steps; ++j) {
                const double t = -1.0 + (j + 0.5) * 2.0 / steps;  // towards node k -+ 1
                if ((k == 0 && t < 0.0) || (k + 1 == mesh.nodes && t > 0.0)) continue;
                const double cell = t < 0.0 ? mesh.x(k) - mesh.x(k - 1) : mesh.x(k + 1) - mesh.x(k);
                const double y = mesh.x(k) + t * cell - xi, z = (y - law.m) / law.s;
                weight += (1.0 - std::abs(t)) * std::exp(-0.5 * z * z) / (law.s * std::sqrt(2.0 * M_PI)) * cell * 2.0 / steps;
            }
            sum += weight * v[k];
        }
        const double down = mesh.x(0) - xi;
        const double mass = 0.5 * std::erfc(-(down - law.m) / law.s / std::sqrt(2.0));
        const double tilted = std::exp(xi + law.m + 0.5 * law.s * law.s) *
                              0.5 * std::erfc(-((down - law.m) / law.s - law.s) / std::sqrt(2.0));
        worst = std::max(worst, std::abs(out[i] - (sum + far.left.a * mass + far.left.b * tilted)));
    }
    return worst;
}

}  // namespace

int main() {
    const charfun::ExponentialJumps kou{1.0, 0.4, 10.0, 5.0};
    second_order<grid::ExponentialJumpIntegral>(kou, 0.4 * 10.0 / 9.0 + 0.6 * 5.0 / 6.0, "kou");
    second_order<grid::ExponentialJumpIntegral>(kou, 0.4 * 10.0 / 9.0 + 0.6 * 5.0 / 6.0, "kou, stretched", 0.5);
    const charfun::NormalJumps narrow{1.0, -0.05, 0.02}, wide{1.0, -0.9, 0.45};  // bands of ~45 and ~900 nodes
    second_order<grid::NormalJumpIntegral>(narrow, std::exp(-0.05 + 0.0002), "merton, direct band");
    second_order<grid::NormalJumpIntegral>(wide, std::exp(-0.9 + 0.10125), "merton, FFT band");

    second_order<grid::NormalJumpIntegral>(narrow, std::exp(-0.05 + 0.0002), "merton, stretched, narrow", 0.5);
    second_order<grid::NormalJumpIntegral>(wide, std::exp(-0.9 + 0.10125), "merton, stretched, wide", 0.5, 1e-12);

    // A band just too wide for the uniform mesh's direct sum (the FFT path), and the rows of
    // a stretched mesh whose cells grow eightfold towards its ends.
    const double fft = against_hats(wide, {-1.0, 0.01, 201, 100});
    expect(fft < 1e-9, "merton: FFT correlation against the hats, worst " + std::to_string(fft));
    const double rows = against_hats(wide, {grid::xi_of(-2.0, 0.25), -grid::xi_of(-2.0, 0.25) / 100.0, 201, 100, 0.25});
    // The midpoint rule's own error grows with the cells: ~3e-9 on the widest.
    expect(rows < 1e-8, "merton: stretched rows against the hats, worst " + std::to_string(rows));
    // A law wide against the mesh goes through panels: against the rows of every node summed
    // directly, on a stretched mesh of 801 nodes and a value with a kink and wiggles (the
    // interpolation sees only the smoothed integral), to ~1e-12 of the density's peak.
    {
        const double width = 0.05, lo = grid::xi_of(-1.0, width), hi = grid::xi_of(4.0, width);
        const grid::Mesh mesh{lo, (hi - lo) / 800.0, 801, 0, width};
        std::vector<double> x(mesh.nodes), centres(mesh.nodes), v(mesh.nodes), zero(mesh.nodes, 0.0), out(mesh.nodes),
            far_only(mesh.nodes);
        for (std::size_t i = 0; i < mesh.nodes; ++i) {
            x[i] = mesh.x(i);
            centres[i] = x[i] + wide.m;
            v[i] = std::max(std::expm1(x[i]), 0.0) + 0.3 * std::sin(40.0 * x[i]);
        }
        const grid::FarField far{{0.0, 0.0}, {-1.0, 1.0}};
        const grid::NormalJumpIntegral integral(wide, mesh);
        integral.apply(v.data(), far, out.data());
        integral.apply(zero.data(), far, far_only.data());
        const auto rows = grid::normal_jumps_detail::hat_rows(x, centres, wide.s);
        double worst = 0.0, largest = 0.0;
        for (std::size_t i = 0; i < mesh.nodes; ++i) {
            worst = std::max(worst, std::abs(out[i] - far_only[i] - rows.sum(i, v.data())));
            largest = std::max(largest, std::abs(v[i]));
        }
        char text[80];
        std::snprintf(text, sizeof text, "merton: panels against the rows, worst %.1e of %.1f", worst, largest);
        expect(worst < 1e-12 * largest, text);
    }
    // The point mass (s = 0) at one third of a cell: linear interpolation.
    {
        const grid::Mesh mesh{-1.0, 0.01, 201, 100, 0.5};
        const charfun::NormalJumps point{1.0, 0.3, 0.0};
        const grid::NormalJumpIntegral integral(point, mesh);
        std::vector<double> v(mesh.nodes), out(mesh.nodes);
        for (std::size_t i = 0; i < mesh.nodes; ++i) v[i] = mesh.x(i);
        integral.apply(v.data(), grid::FarField{{0.0, 0.0}, {0.0, 1.0}}, out.data());
        double worst = 0.0;
        for (std::size_t i = 0; i < mesh.nodes; ++i)
            worst = std::max(worst, std::abs(out[i] - (mesh.x(i) + 0.3 < mesh.x(200) ? mesh.x(i) + 0.3 : std::exp(mesh.x(i) + 0.3))));
        expect(worst < 1e-14, "merton, point mass: linear interpolation, worst " + std::to_string(worst));
    }

    std::printf("%d checks, %d failed (FFT, rows against the hats: %.1e, %.1e)\n", checks, failures, fft, rows);
    return failures == 0 ? 0 : 1;
}
