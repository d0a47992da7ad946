#pragma once

// Standard normal variates by Marsaglia and Tsang's ziggurat, in Doornik's form (2005),
// which is exact in law: the layer's index and the point within it come from disjoint bits
// of a draw (the original took both from one 32-bit integer and so correlated them).
//
// The density e^{-x^2/2} is covered by 128 layers of equal area V: 127 rectangles
// [0, x_i] x [f(x_i), f(x_{i+1})] stacked above a base layer that joins the rectangle
// [0, r] x [0, f(r)] to the tail beyond r. A point uniform in a layer falls within the
// next narrower layer's width about 99 % of the time, and is returned with one
// multiplication; otherwise the wedge under the curve is tested (two exponentials), or the
// tail beyond r is drawn by Marsaglia's method (Wikipedia's "Ziggurat algorithm" gives
// the construction).

#include <cmath>
#include <cstdint>

namespace tarnwick::random {

namespace ziggurat_detail {

inline constexpr int layers = 128;
// r and V for 128 layers: the r at which the layers' recursion closes at the density's top.
inline constexpr double r = 3.442619855899;
inline constexpr double area = 9.91256303526217e-3;

struct Table {
    double x[layers + 1];  // the layers' right edges, x[0] the base's virtual width V / f(r)
    double ratio[layers];  // x[i + 1] / x[i]: the share of layer i under the next one
};

inline Table make_table() {
    Table t{};
    double f = std::exp(-0.5 * r * r);
    t.x[0] = area / f;
    t.x[1] = r;
    t.x[layers] = 0.0;
    for (int i = 2; i < layers; ++i) {
        t.x[i] = std::sqrt(-2.0 * std::log(area / t.x[i - 1] + f));
        f = std::exp(-0.5 * t.x[i] * t.x[i]);
    }
    for (int i = 0; i < layers; ++i) t.ratio[i] = t.x[i + 1] / t.x[i];
    return t;
}

// Built once, on first use, and never written after.
inline const Table& table() {
    static const Table t = make_table();
    return t;
}

}  // namespace ziggurat_detail

// A normal from a generator of 64-bit words: the top 53 bits give the point's position in
// [-1, 1), the lowest 7 the layer.
template <class Generator>
double ziggurat_normal(Generator& g) {
    using namespace ziggurat_detail;
    const Table& t = table();
    for (;;) {
        const std::uint64_t bits = g();
        const double u = static_cast<double>(bits >> 11) * 0x1.0p-52 - 1.0;
        const int i = static_cast<int>(bits & (layers - 1));
        if (std::abs(u) < t.ratio[i]) return u * t.x[i];
        if (i == 0) {
            // The tail beyond r: x = -ln(u1) / r is accepted with probability e^{-x^2/2}
            // relative to its exponential envelope, tested as -2 ln(u2) > x^2. 1 - uniform
            // lies in (0, 1], so neither log is infinite.
            double x, y;
            do {
                x = -std::log(1.0 - g.uniform()) / r;
                y = -std::log(1.0 - g.uniform());
            } while (2.0 * y < x * x);
            return u < 0.0 ? -(r + x) : r + x;
        }
        // The wedge between the next layer's width and this one's: under the curve with
        // probability (f(x) - f(x_i)) / (f(x_{i+1}) - f(x_i)).
        const double x = u * t.x[i];
        const double below = std::exp(-0.5 * (t.x[i] * t.x[i] - x * x));
        const double above = std::exp(-0.5 * (t.x[i + 1] * t.x[i + 1] - x * x));
        if (above + g.uniform() * (below - above) < 1.0) return x;
    }
}

}  // namespace tarnwick::random
