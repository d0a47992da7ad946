#pragma once

// Kou's double-exponential jump-diffusion: the cumulant exponent of the log return and
// its derivatives in the transform variable and in the model parameters, and its jumps.
//
// With X = ln(S_T / F) and F the forward, E[exp(w X)] = exp(T kappa(w)) for complex w in
// the strip -eta2 < Re w < eta1 (the whole plane when lam = 0).

#include <cmath>
#include <complex>
#include <limits>

#include "charfun/jump_measure.hpp"

namespace tarnwick::charfun {

struct Kou {
    double sigma;  // diffusion volatility
    double lam;    // jump intensity per year
    double p;      // probability that a jump is upward
    double eta1;   // rate of the exponential upward log jump (mean 1 / eta1)
    double eta2;   // rate of the exponential downward log jump (mean 1 / eta2)

    static constexpr int parameter_count = 5;
    static constexpr const char* name = "kou";
    using complex = std::complex<double>;

    static Kou from_parameters(const double* v) { return {v[0], v[1], v[2], v[3], v[4]}; }
    ExponentialJumps jumps() const { return {lam, p, eta1, eta2}; }

    // The jump part lam (phi(w) - 1 - w (phi(1) - 1)), phi the jump's transform, reduces to
    // w (w - 1) times the two terms below. Factoring out w (w - 1) makes kappa(0) =
    // kappa(1) = 0 hold exactly (the forward is priced right to the last bit) and leaves
    // no cancellation near w = 0 or w = 1.
    complex up(complex w) const { return lam * p / (eta1 - 1.0) * inverse(eta1 - w); }
    complex down(complex w) const { return lam * (1.0 - p) / (eta2 + 1.0) * inverse(eta2 + w); }

    // 1 / z as conj(z) / |z|^2: one real division instead of a complex one. |z| here stays
    // far inside the range where |z|^2 neither overflows nor underflows.
    static complex inverse(complex z) { return std::conj(z) / std::norm(z); }

    // Without jumps the jump terms are left out rather than multiplied by zero: a pure
    // diffusion's contour may pass through w = eta1.
    complex exponent(complex w) const {
        const complex g = lam == 0.0 ? complex(0.5 * sigma * sigma) : 0.5 * sigma * sigma + up(w) + down(w);
        return w * (w - 1.0) * g;
    }

    // d kappa / dw.
    complex slope(complex w) const {
        if (lam == 0.0) return sigma * sigma * (w - 0.5);
        const complex g = 0.5 * sigma * sigma + up(w) + down(w);
        const complex dg = up(w) / (eta1 - w) - down(w) / (eta2 + w);
        return (2.0 * w - 1.0) * g + w * (w - 1.0) * dg;
    }

    // Edges of the strip of Re w where E[exp(w X)] is finite: a side without weight (p = 0
    // or 1) has none, which matters where the other side's edge is close (eta2 of 0.01 with
    // p = 1 would squeeze every put's line). The model for parameter derivatives keeps both:
    // the derivative in p needs both sides' jump terms.
    bool both_edges = false;
    double lower_edge() const {
        return lam > 0.0 && (p < 1.0 || both_edges) ? -eta2 : -std::numeric_limits<double>::infinity();
    }
    double upper_edge() const {
        return lam > 0.0 && (p > 0.0 || both_edges) ? eta1 : std::numeric_limits<double>::infinity();
    }

    // An upper bound of Re kappa(theta + iu) that does not increase with u: the diffusion
    // part exactly, lam (phi(w) - 1 - w zeta) with |phi| bounded term by term.
    double envelope(double theta, double u) const {
        const double diffusion = 0.5 * sigma * sigma * (theta * theta - theta - u * u);
        if (lam == 0.0) return diffusion;
        const double phi_size = p * eta1 / std::sqrt((eta1 - theta) * (eta1 - theta) + u * u) +
                                (1.0 - p) * eta2 / std::sqrt((eta2 + theta) * (eta2 + theta) + u * u);
        const double zeta = p / (eta1 - 1.0) - (1.0 - p) / (eta2 + 1.0);
        return diffusion + lam * (phi_size - 1.0 - theta * zeta);
    }

    // The model whose strip suits derivatives in the parameters: those in lam, p, eta1 and
    // eta2 involve the jump terms even where lam = 0 or a side has no weight, so the contour
    // must stay in their strip.
    Kou for_parameter_derivatives() const { return {sigma, lam > 0.0 ? lam : 1.0, p, eta1, eta2, true}; }

    // d kappa / d(sigma, lam, p, eta1, eta2), in that order.
    void gradient(complex w, complex* out) const {
        const complex ww = w * (w - 1.0);
        // a = 1 / ((eta1 - w)(eta1 - 1)) as conj(eta1 - w) / (|eta1 - w|^2 (eta1 - 1)): one real
        // division per jump side instead of a complex one; likewise b.
        const complex up_pole = eta1 - w;
        const complex down_pole = eta2 + w;
        const complex a = std::conj(up_pole) * (1.0 / (std::norm(up_pole) * (eta1 - 1.0)));
        const complex b = std::conj(down_pole) * (1.0 / (std::norm(down_pole) * (eta2 + 1.0)));
        out[0] = sigma * ww;
        out[1] = ww * (p * a + (1.0 - p) * b);
        out[2] = ww * lam * (a - b);
        // d/d eta1 of 1 / ((eta1 - w)(eta1 - 1)) = -a^2 ((eta1 - 1) + (eta1 - w)), likewise eta2.
        out[3] = -ww * lam * p * a * a * ((eta1 - 1.0) + up_pole);
        out[4] = -ww * lam * (1.0 - p) * b * b * ((eta2 + 1.0) + down_pole);
    }

    // d/d(sigma, lam, p, eta1, eta2) of the jumps' transform lam phi(w) (jump_measure.hpp).
    void jump_transform_gradient(complex w, complex* out) const {
        const complex up_share = eta1 / (eta1 - w);
        const complex down_share = eta2 / (eta2 + w);
        out[0] = 0.0;
        out[1] = p * up_share + (1.0 - p) * down_share;
        out[2] = lam * (up_share - down_share);
        // d/d eta of eta / (eta - w) = -w / (eta - w)^2, and of eta / (eta + w) = w / (eta + w)^2.
        out[3] = -lam * p * w / ((eta1 - w) * (eta1 - w));
        out[4] = lam * (1.0 - p) * w / ((eta2 + w) * (eta2 + w));
    }
};

}  // namespace tarnwick::charfun
