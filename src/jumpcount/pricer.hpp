#pragma once

// Prices, Greeks and parameter sensitivities of European options under a Lévy jump model,
// by its jump counts: the first counts in closed form (laws.hpp), and the paths with more
// jumps, where they matter, by the Fourier engine on the model with the first counts taken
// out (remainder.hpp).
//
// This is the method for the inputs that starve the plain Fourier sum (pricing/method.hpp
// decides): a diffusion so small over the maturity (sigma sqrt(T) of 1e-8, or T of 1e-100)
// that nothing makes the integrand decay but the jumps, whose first counts decay only like
// 1 / u; or a strip so narrow (eta1 of 1.001) that the trapezoid's step must be tiny. The
// closed forms hold for any diffusion, and the counts left out weigh P(N >= n): for the
// short maturities behind a tiny diffusion a few counts suffice, and where many jumps are
// expected the jumps themselves make the rest's integrand decay.
//
// Derivatives. The normalised price C(k; a, v, lam_T) of the first counts (a the drift and
// v = s^2 the variance of the diffusion over the maturity, lam_T the expected jumps)
// depends on a and k through k - a and the factor e^a: d/da = 1 - d/dk; on v by the heat
// equation, d/dv = (d/da)^2 / 2; on lam_T through the Poisson weights, whose derivative
// is P(N = j - 1) - P(N = j). So every Greek is a combination of the k-derivatives of C
// (formed from the tails and densities of the counts, never by differencing the two legs of
// a price) and of the same sum with differenced weights.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/poisson.hpp"
#include "common/status.hpp"
#include "fourier/chain_pricer.hpp"
#include "fourier/transform_pricer.hpp"
#include "jumpcount/laws.hpp"
#include "jumpcount/remainder.hpp"
#include "market/forward.hpp"
#include "market/greeks.hpp"
#include "product/option.hpp"

namespace tarnwick::jumpcount {

// The most counts priced in closed form (their cost grows like the square of the count);
// beyond, the engine takes the rest.
inline constexpr int max_counts = 48;
// What the counts left out may weigh, in units of the discounted forward: the prices' own
// goal (fourier::price_log_tolerance), e^-35.
inline constexpr double rest_tolerance = 6.305116760146989e-16;

// The fewest counts n with weight P(N >= n) <= rest_tolerance, N Poisson with this mean;
// max_counts + 1 where more would be needed.
inline int counts_needed(double mean, double weight) {
    if (!(mean > 0.0)) return 1;
    for (int n = 1; n <= max_counts; ++n)
        if (mean < n + 1.0 && weight * poisson_tail_bound(n, mean) <= rest_tolerance) return n;
    return max_counts + 1;
}

// Which counts are priced in closed form, on which side. A call's counts from n on are worth
// at most P(N' >= n), N' Poisson of mean lam_T (1 + zeta) (the jumps' count under the
// measure of the share, which grows with them); a put's at most e^k P(N >= n). The side
// that needs fewer counts is priced; `extra` counts more serve derivatives (that of
// P(N >= n) in lam_T is P(N = n - 1)). Beyond max_counts, a law whose counts may start
// anywhere (Merton's) prices the put's window of counts outside which P(N) is below 1e-20;
// Kou's, built up count by count, leaves the counts from max_counts on to the engine.
struct CountPlan {
    bool call;
    int first, counts;  // the counts first ... first + counts - 1
    bool rest;          // the counts from first + counts on go to the engine
};

template <class Law>
CountPlan plan_counts(const Law&, const CountTerms& t, double k_max, bool preferred_call, int extra) {
    const int call_counts = counts_needed(t.lam_T * (1.0 + t.zeta), 1.0) + extra;
    const int put_counts = counts_needed(t.lam_T, std::exp(k_max)) + extra;
    const bool call = call_counts == put_counts ? preferred_call : call_counts < put_counts;
    const int counts = call ? call_counts : put_counts;
    if (counts <= max_counts) return {call, 0, counts, false};
    if constexpr (Law::windowed) {
        const PoissonWindow window = poisson_window(t.lam_T);
        const int first = static_cast<int>(std::fmax(window.lo - extra, 0.0));
        return {false, first, static_cast<int>(window.hi) + extra + 1 - first, false};
    }
    return {call, 0, max_counts, true};
}

// P(N = j) for the plan's counts, and their derivatives in the mean, P(N = j - 1) - P(N = j),
// formed from the mode outward (a long window's weights neither over- nor underflow).
inline void poisson_weights(double mean, const CountPlan& plan, std::vector<double>& weight,
                            std::vector<double>& slope) {
    const int first = plan.first, counts = plan.counts;
    weight.assign(counts + 1, 0.0);  // weight[j + 1] = P(N = first + j); weight[0] = P(N = first - 1)
    const int mode = std::clamp(static_cast<int>(mean), first, first + counts - 1);
    weight[mode - first + 1] = poisson_weight(mode, mean);
    for (int j = mode - 1; j >= first - 1 && j >= 0; --j)
        weight[j - first + 1] = weight[j - first + 2] * ((j + 1) / mean);
    for (int j = mode + 1; j < first + counts; ++j) weight[j - first + 1] = weight[j - first] * (mean / j);
    slope.resize(counts);
    for (int j = 0; j < counts; ++j) slope[j] = weight[j] - weight[j + 1];
    weight.erase(weight.begin());
}

// Normalised prices of a chain of one maturity on the side `call`, as fourier::price_chain.
template <class Model>
Status price_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out,
                   Stop stop = {}) {
    const auto law = law_of(model.exponent);
    const CountTerms terms = count_terms(law, T);
    const CountPlan plan = plan_counts(law, terms, *std::max_element(k, k + n), call, 0);
    std::vector<double> weight, slope;
    poisson_weights(terms.lam_T, plan, weight, slope);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = fourier::from_side(counts_price(law, terms, k[i], plan.call, weight.data(), plan.first, plan.counts),
                                    k[i], plan.call, call);
    if (!plan.rest) return Status::ok;
    const CountRemainder<Model> remainder{model, ExponentialTail(plan.counts)};
    std::vector<double> rest(n);
    const Status status = fourier::price_chain(remainder, T, call, k, n, rest.data(), stop);
    for (std::size_t i = 0; i < n; ++i) out[i] += rest[i];
    return status;
}

// The first counts' normalised price at k with its k-derivatives D[0 ... 4] (D[0] the
// price) and those of the sum with differenced weights, E[0 ... 2] (d/d lam_T at a fixed
// drift), on the plan's side.
struct CountDerivatives {
    double D[5];
    double E[3];
};

template <class Law>
CountDerivatives count_derivatives(const Law& law, const CountTerms& terms, double k, const CountPlan& plan,
                                   const std::vector<double>& weight, const std::vector<double>& slope) {
    CountDerivatives d{};
    d.D[0] = counts_price(law, terms, k, plan.call, weight.data(), plan.first, plan.counts);
    counts_k_derivatives(law, terms, k, plan.call, weight.data(), plan.first, plan.counts, 4, d.D + 1);
    d.E[0] = counts_price(law, terms, k, plan.call, slope.data(), plan.first, plan.counts);
    counts_k_derivatives(law, terms, k, plan.call, slope.data(), plan.first, plan.counts, 2, d.E + 1);
    return d;
}

// The same moved to the other side by parity. call - put = e^{a + v/2 + lam_T zeta} - e^k,
// which is 1 - e^k at the martingale drift: every k-derivative of it is -e^k, and its
// derivative in lam_T at a fixed drift is zeta.
inline void change_side(CountDerivatives& d, double k, double zeta, bool to_call) {
    const double sign = to_call ? 1.0 : -1.0;
    d.D[0] -= sign * std::expm1(k);
    for (int o = 1; o <= 4; ++o) d.D[o] -= sign * std::exp(k);
    d.E[0] += sign * zeta;
}

// The forward-term derivatives (market/greeks.hpp) of one option but its value, as
// fourier::forward_greeks. With V = D F c(k, T, sigma), k = ln(K / F): F dV/dF = D F (c - c_k),
// F^2 d2V/dF2 = D F (c_kk - c_k), F^3 d3V/dF3 = D F (c_k - c_kkk). In T (v = sigma^2 T,
// a = -v/2 - lam T zeta): c_T = sigma^2 (c - 2 c_k + c_kk) / 2 + a_T (c - c_k) + lam c_lamT; in
// sigma: c_sigma = sigma T (c_kk - c_k) and c_sigma,sigma = T (c_kk - c_k) + (sigma T)^2
// (c_kkkk - 2 c_kkk + c_kk).
template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                      market::ForwardGreeks& out, Stop stop = {}) {
    const auto law = law_of(model.exponent);
    const CountTerms terms = count_terms(law, T);
    const CountPlan plan = plan_counts(law, terms, f.k, product.call(), 1);
    std::vector<double> weight, slope;
    poisson_weights(terms.lam_T, plan, weight, slope);
    CountDerivatives c = count_derivatives(law, terms, f.k, plan, weight, slope);
    if (plan.call != product.call()) change_side(c, f.k, terms.zeta, product.call());
    const double* D = c.D;
    const double* E = c.E;
    const double sigma = law.sigma, variance_rate = sigma * sigma;
    const double drift_rate = -0.5 * variance_rate - law.lam * terms.zeta;
    // d^m/dk^m of c_T and c_sigma, m = 0, 1, 2.
    double by_T[3], by_sigma[3];
    for (int m = 0; m < 3; ++m) {
        by_T[m] = 0.5 * variance_rate * (D[m] - 2.0 * D[m + 1] + D[m + 2]) + drift_rate * (D[m] - D[m + 1]) +
                  law.lam * E[m];
        by_sigma[m] = sigma * T * (D[m + 2] - D[m + 1]);
    }
    const double scale = f.discounted_forward;
    const double value = out.value;
    out.f1 = scale * (D[0] - D[1]);
    out.f2 = scale * (D[2] - D[1]);
    out.f3 = scale * (D[1] - D[3]);
    out.t0 = scale * by_T[0];
    out.t1 = scale * (by_T[0] - by_T[1]);
    out.t2 = scale * (by_T[2] - by_T[1]);
    out.v0 = scale * by_sigma[0];
    out.v1 = scale * (by_sigma[0] - by_sigma[1]);
    out.v2 = scale * (by_sigma[2] - by_sigma[1]);
    out.vv = scale * (T * (D[2] - D[1]) + sigma * T * sigma * T * (D[4] - 2.0 * D[3] + D[2]));
    Status status = Status::ok;
    if (plan.rest) {
        const CountRemainder<Model> remainder{model, ExponentialTail(plan.counts)};
        market::ForwardGreeks rest{};
        status = fourier::forward_greeks(remainder, f, T, product, rest, stop);
        market::add_derivatives(out, rest);
    }
    out.strike = value - out.f1;
    return status;
}

// Prices (row 0) and derivatives in the model's parameters (rows 1 ...) of a chain, in units
// of D F, as fourier::sensitivities_chain. In sigma: sigma T (c_kk - c_k); in lam:
// T c_lamT - T zeta (c - c_k) (through the weights and the drift); in each parameter of the
// jump law: the closed form's own derivative at a fixed drift, less lam T zeta' (c - c_k).
template <class Model>
Status sensitivities_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out,
                           std::size_t stride, Stop stop = {}) {
    using Law = decltype(law_of(model.exponent));
    constexpr int jump_parameters = Law::jump_parameters;
    const Law law = law_of(model.exponent);
    const CountTerms terms = count_terms(law, T);
    const CountPlan plan = plan_counts(law, terms, *std::max_element(k, k + n), call, 1);
    std::vector<double> weight, slope;
    poisson_weights(terms.lam_T, plan, weight, slope);
    // On the plan's side: parity's term 1 - e^k moves the price, none of its derivatives in
    // the parameters.
    for (std::size_t i = 0; i < n; ++i) {
        const CountDerivatives c = count_derivatives(law, terms, k[i], plan, weight, slope);
        const double* D = c.D;
        out[i] = fourier::from_side(D[0], k[i], plan.call, call);
        out[stride + i] = law.sigma * T * (D[2] - D[1]);
        out[2 * stride + i] = T * c.E[0] - T * terms.zeta * (D[0] - D[1]);
        double price_gradient[jump_parameters], zeta_gradient[jump_parameters];
        jump_law_gradient(law, terms, k[i], plan.call, weight.data(), plan.first, plan.counts, price_gradient,
                          zeta_gradient);
        for (int p = 0; p < jump_parameters; ++p)
            out[(3 + p) * stride + i] = price_gradient[p] - terms.lam_T * zeta_gradient[p] * (D[0] - D[1]);
    }
    if (!plan.rest) return Status::ok;
    constexpr int rows = Model::parameter_count + 1;
    const CountRemainder<Model> remainder{model, ExponentialTail(plan.counts)};
    std::vector<double> rest(rows * n);
    const Status status = fourier::sensitivities_chain(remainder, T, call, k, n, rest.data(), n, stop);
    for (int row = 0; row < rows; ++row)
        for (std::size_t i = 0; i < n; ++i) out[row * stride + i] += rest[row * n + i];
    return status;
}

}  // namespace tarnwick::jumpcount
