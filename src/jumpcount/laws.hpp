#pragma once

// The models whose jump counts have closed-form prices, as the count expansion reads them:
// the parameters, the log return given a count, and the closed forms of kou.hpp and
// merton.hpp behind one set of names.
//
// With s = sigma sqrt(T), lam_T = lam T and zeta = E[e^J] - 1, X = drift + G + (the jumps)
// with drift = -s^2 / 2 - lam_T zeta, so that e^X is a martingale.

#include <cmath>

#include "charfun/kou.hpp"
#include "charfun/merton.hpp"
#include "jumpcount/kou.hpp"
#include "jumpcount/merton.hpp"
#include "taylor/jet.hpp"

namespace tarnwick::jumpcount {

struct KouLaw {
    double sigma, lam, p, eta1, eta2;
    // The jump law's own parameters (after sigma and lam), for their derivatives.
    static constexpr int jump_parameters = 3;
    // Whether the counts priced may start above 0: Kou's mixture is built up count by count.
    static constexpr bool windowed = false;
};

struct MertonLaw {
    double sigma, lam, m, s;
    static constexpr int jump_parameters = 2;
    static constexpr bool windowed = true;
};

inline KouLaw law_of(const charfun::Kou& e) { return {e.sigma, e.lam, e.p, e.eta1, e.eta2}; }
inline MertonLaw law_of(const charfun::Merton& e) { return {e.sigma, e.lam, e.m, e.s}; }

// The quantities of one maturity.
struct CountTerms {
    double s;      // sigma sqrt(T)
    double lam_T;  // expected jumps
    double zeta;   // E[e^J] - 1
    double drift;  // of X without its jumps
};

inline double mean_jump_growth(const KouLaw& l) { return l.p / (l.eta1 - 1.0) - (1.0 - l.p) / (l.eta2 + 1.0); }
inline double mean_jump_growth(const MertonLaw& l) { return std::expm1(l.m + 0.5 * l.s * l.s); }

template <class Law>
CountTerms count_terms(const Law& law, double T) {
    const double s = law.sigma * std::sqrt(T);
    const double lam_T = law.lam * T;
    const double zeta = mean_jump_growth(law);
    return {s, lam_T, zeta, -0.5 * s * s - lam_T * zeta};
}

// sum_j w_j E[(e^X - e^k)^+ | N = first + j], j < n (call), or (e^k - e^X)^+ (put). Kou's
// counts always start at 0 (first is 0 for it).
inline double counts_price(const KouLaw& l, const CountTerms& t, double k, bool call, const double* w, int, int n) {
    return kou_counts_price(KouCounts<double, double>{t.drift, t.s, l.p, l.eta1, l.eta2}, k, call, w, n);
}
inline double counts_price(const MertonLaw& l, const CountTerms& t, double k, bool call, const double* w, int first,
                           int n) {
    return merton_counts_price(MertonCounts<double, double>{t.drift, t.s, l.m, l.s}, k, call, w, first, n);
}

// Its derivatives in k of orders 1 ... orders.
inline void counts_k_derivatives(const KouLaw& l, const CountTerms& t, double k, bool call, const double* w, int,
                                 int n, int orders, double* out) {
    kou_counts_k_derivatives(KouCounts<double, double>{t.drift, t.s, l.p, l.eta1, l.eta2}, k, call, w, n, orders, out);
}
inline void counts_k_derivatives(const MertonLaw& l, const CountTerms& t, double k, bool call, const double* w,
                                 int first, int n, int orders, double* out) {
    merton_counts_k_derivatives(MertonCounts<double, double>{t.drift, t.s, l.m, l.s}, k, call, w, first, n, orders,
                                out);
}

// The derivatives of that sum in the jump law's own parameters with the drift held fixed
// (price_gradient), and of zeta (zeta_gradient), each in the model's order after sigma and
// lam: through jets of the law.
inline void jump_law_gradient(const KouLaw& l, const CountTerms& t, double k, bool call, const double* w, int,
                              int n, double* price_gradient, double* zeta_gradient) {
    using Jet = taylor::Jet<3, 1>;
    const Jet p = Jet::variable(l.p, 0), eta1 = Jet::variable(l.eta1, 1), eta2 = Jet::variable(l.eta2, 2);
    const Jet price = kou_counts_price(KouCounts<Jet, Jet>{Jet(t.drift), Jet(t.s), p, eta1, eta2}, Jet(k), call, w, n);
    const Jet zeta = p / (eta1 - 1.0) - (1.0 - p) / (eta2 + 1.0);
    for (int i = 0; i < 3; ++i) {
        price_gradient[i] = price.partial(i);
        zeta_gradient[i] = zeta.partial(i);
    }
}
inline void jump_law_gradient(const MertonLaw& l, const CountTerms& t, double k, bool call, const double* w,
                              int first, int n, double* price_gradient, double* zeta_gradient) {
    using Jet = taylor::Jet<2, 1>;
    const Jet m = Jet::variable(l.m, 0), s = Jet::variable(l.s, 1);
    const Jet price =
        merton_counts_price(MertonCounts<Jet, Jet>{Jet(t.drift), Jet(t.s), m, s}, Jet(k), call, w, first, n);
    const Jet zeta = expm1(m + 0.5 * s * s);
    for (int i = 0; i < 2; ++i) {
        price_gradient[i] = price.partial(i);
        zeta_gradient[i] = zeta.partial(i);
    }
}

}  // namespace tarnwick::jumpcount
