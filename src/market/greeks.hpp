#pragma once

// The one mapping of an option's derivatives in forward terms to the spot Greeks of the
// pricing API.
//
// A kernel prices V(F, D, T, v) at forward F, discount factor D, maturity T and the
// model's volatility coordinate v. V is linear in D, and homogeneous of degree one in
// (F, K). The kernel's derivatives are taken with F^n in front (F^n d^n V / dF^n), which
// neither overflow with F nor cancel: for a transform each is the integral of a falling
// factorial of w, and none is a difference of the others. With F = S e^{(r-q)T}, D = e^{-rT},
// dF/dS = F/S, dF/dr = F T, dF/dq = -F T, dD/dr = -T D, dD/dT = -r D, dF/dT = (r - q) F:
//   delta = F V_F / S, gamma = F^2 V_FF / S^2, speed = F^3 V_FFF / S^3,
//   rho = T (F V_F - V) = -T K V_K, epsilon = -T F V_F,
//   theta = -(V_T + (r - q) F V_F - r V),
//   charm = -(d(F V_F)/dT + (r - q) F^2 V_FF - q F V_F) / S,
//   colour = -(d(F^2 V_FF)/dT + (r - q) F^3 V_FFF + (r - 2q) F^2 V_FF) / S^2,
//   vega = V_v, vanna = F V_Fv / S, zomma = F^2 V_FFv / S^2, vomma = V_vv,
// where d/dT is at fixed F and D (the model's own dependence on T).

#include "product/option.hpp"

namespace tarnwick::market {

struct ForwardGreeks {
    double value;
    double f1, f2, f3;  // F V_F, F^2 V_FF, F^3 V_FFF
    double strike;      // K V_K = V - F V_F, its own integral where it is not a small difference
    double t0, t1, t2;  // d/dT at fixed F and D of V, F V_F, F^2 V_FF
    double v0, v1, v2;  // d/dv of V, F V_F, F^2 V_FF
    double vv;          // d2V/dv2
};

// Adds the derivatives of `part` (all but the value and K dV/dK, which follow from the
// whole) to those of `to`: a price split into parts has derivatives that add.
inline void add_derivatives(ForwardGreeks& to, const ForwardGreeks& part) {
    to.f1 += part.f1;
    to.f2 += part.f2;
    to.f3 += part.f3;
    to.t0 += part.t0;
    to.t1 += part.t1;
    to.t2 += part.t2;
    to.v0 += part.v0;
    to.v1 += part.v1;
    to.v2 += part.v2;
    to.vv += part.vv;
}

// The price and twelve Greeks, in the order of greek::Index.
inline void spot_greeks(const ForwardGreeks& g, const Option& o, double* out) {
    const double S = o.S, T = o.T, r = o.r, q = o.q;
    out[greek::price] = g.value;
    out[greek::delta] = g.f1 / S;
    out[greek::gamma] = g.f2 / S / S;
    out[greek::speed] = g.f3 / S / S / S;
    out[greek::rho] = -T * g.strike;
    out[greek::epsilon] = -T * g.f1;
    out[greek::theta] = -(g.t0 + (r - q) * g.f1 - r * g.value);
    out[greek::charm] = -(g.t1 + (r - q) * g.f2 - q * g.f1) / S;
    out[greek::colour] = -(g.t2 + (r - q) * g.f3 + (r - 2.0 * q) * g.f2) / S / S;
    out[greek::vega] = g.v0;
    out[greek::vanna] = g.v1 / S;
    out[greek::zomma] = g.v2 / S / S;
    out[greek::vomma] = g.vv;
}

}  // namespace tarnwick::market
