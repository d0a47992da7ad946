#pragma once

// What the engines read of a model. With X_T = ln(S_T / F_T), F_T the forward, a model
// gives
//
// - for the Fourier engine: the log-moment generating function L(w, T) = ln E[e^{w X_T}]
//   and its derivatives in w, T, each parameter and the volatility coordinate; the strip of
//   Re w where it exists at T; an upper bound of Re L along a line Re w = theta that does
//   not increase with |Im w|, and how fast |e^L| decays beyond it (Decay);
// - for a grid solver: the diffusion coefficient and the jump measure;
// - for a simulator: an exact draw of the increment of X over a step dt.
//
// Lévy models (E[e^{w X_T}] = e^{T kappa(w)}) get all of it from their cumulant exponent
// through charfun::Levy (levy.hpp); a model whose log-MGF is not linear in T implements
// the same members itself. No engine reads a model parameter by name. A model may state
// `static constexpr bool lopsided_strip = true` where its strip is typically far wider on
// one side of the poles than on the other: chains near the money may then be summed on the
// wider side and taken across by put-call parity (pricing/method.hpp). A model whose
// log-MGF costs a Riccati solution per evaluation, some tens of a Lévy exponent's, states
// `static constexpr bool costly_log_mgf = true`: the line's choice then spends fewer
// evaluations (fourier/contour.hpp), and the Greeks' sums share the price's contour
// (fourier/transform_pricer.hpp).

#include <complex>
#include <type_traits>
#include <utility>

namespace tarnwick::charfun {

using complex = std::complex<double>;

// L(w, T) and dL/dT at the same point: the Greeks need both, and for most models the second
// falls out of the first's evaluation.
struct LogMgf {
    complex value;
    complex d_T;
};

// The open interval lo < Re w < hi where L(w, T) is finite.
struct Strip {
    double lo, hi;
};

// How |E[e^{w X_T}]| falls along a line beyond the bound of Re L: at least like
// exp(-variance u^2 / 2) (a Brownian part; `deviation` is sqrt(variance) in the model's own
// rounding), like exp(-rate u) (e.g. a stochastic variance) and, from u = scale on, like a
// power: at v >= u >= scale it is at most e (u / v)^power times its bound at u (the part of
// a jump transform left after its first terms are taken out: a transform like 1 / u raised
// to a power). Zero where the model has no such part: a pure jump model has none.
struct Decay {
    double variance;
    double deviation;
    double rate;
    double power = 0.0;
    double scale = 0.0;
};

// dL/dv and d2L/dv2 in the model's volatility coordinate v (vega, vanna, zomma, vomma are
// derivatives in v).
struct VolatilityDerivatives {
    complex first, second;
};

// A model whose volatility v enters L only through a Brownian term T v^2 w (w - 1) / 2 (a
// Lévy model) has dL/dv = first w (w - 1) and d2L/dv2 = second w (w - 1) with these real
// factors, `volatility_factors(T)`: the Greeks' integrands then need no volatility
// derivative per node.
struct VolatilityFactors {
    double first, second;
};

// L with its volatility derivatives, as the Greeks' integrands need them at every node. A
// model whose volatility derivatives share most of L's work (a stochastic variance: both
// come from one Riccati solution) gives them together, as `log_mgf_and_volatility`; for the
// others the two evaluations are made side by side.
struct LogMgfAndVolatility : LogMgf {
    VolatilityDerivatives volatility;
};

template <class Model, class = void>
struct joint_volatility : std::false_type {};
template <class Model>
struct joint_volatility<Model, std::void_t<decltype(std::declval<const Model&>().log_mgf_and_volatility(complex(), 0.0))>>
    : std::true_type {};

template <class Model, class = void>
struct costly : std::false_type {};
template <class Model>
struct costly<Model, std::void_t<decltype(Model::costly_log_mgf)>> : std::bool_constant<Model::costly_log_mgf> {};

template <class Model>
LogMgfAndVolatility log_mgf_and_volatility(const Model& model, complex w, double T) {
    if constexpr (joint_volatility<Model>::value) return model.log_mgf_and_volatility(w, T);
    else return {model.log_mgf(w, T), model.volatility_derivatives(w, T)};
}

}  // namespace tarnwick::charfun
