#pragma once

// The value of an option beyond the ends of the mesh, per unit strike, as a + b e^x in
// x = ln(S/K): deep in the money a put is worth e^{-r s} - e^{x - q s} held to its next
// exercise time s ahead (s = 0 where it may be exercised now: 1 - e^x), a call
// e^{x - q s} - e^{-r s}; out of the money either is worth nothing. Where holding beats
// exercising for every deep spot (a put with r < 0, a call with q < 0) the held value is
// the far field even where exercise is allowed. The mesh reaches far enough (mesh.hpp)
// that what these leave out is below its tail bound.

#include <cmath>

namespace tarnwick::grid {

struct Affine {
    double a, b;  // a + b e^x

    double at(double x) const { return b == 0.0 ? a : a + b * std::exp(x); }
};

struct FarField {
    Affine left, right;
};

// Of two far fields of one side, the one worth more deep in the money: the larger
// coefficient of the term that dominates there (e^x for a call, the constant for a put).
inline Affine deeper(bool call, Affine x, Affine y) {
    const bool first = call ? (x.b != y.b ? x.b > y.b : x.a >= y.a) : (x.a != y.a ? x.a > y.a : x.b >= y.b);
    return first ? x : y;
}

// `held` is the time to the next exercise time after this one (the expiry for a European
// or American option), `now` whether exercise is allowed at this time.
inline FarField far_field(bool call, double r, double q, double held, bool now) {
    const double discount = std::exp(-r * held), carry = std::exp(-q * held);
    const Affine hold = call ? Affine{-discount, carry} : Affine{discount, -carry};
    const Affine deep = now ? deeper(call, hold, call ? Affine{-1.0, 1.0} : Affine{1.0, -1.0}) : hold;
    return call ? FarField{{0.0, 0.0}, deep} : FarField{deep, {0.0, 0.0}};
}

}  // namespace tarnwick::grid
