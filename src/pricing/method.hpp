#pragma once

// Which method prices a chain of options under a transform model: the Fourier sum along its
// best line (fourier/line.hpp) wherever that stays within the node budget, which is every
// ordinary option; otherwise, for a Lévy jump model with closed-form jump counts, the
// counts (jumpcount/): a diffusion too small over the maturity to cut the integrand off.

#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "charfun/levy.hpp"
#include "charfun/model_interface.hpp"
#include "common/status.hpp"
#include "fourier/chain_pricer.hpp"
#include "fourier/line.hpp"
#include "fourier/transform_pricer.hpp"
#include "jumpcount/pricer.hpp"
#include "market/forward.hpp"
#include "market/greeks.hpp"
#include "product/option.hpp"

namespace tarnwick::pricing {

// Models whose jump counts have closed-form prices (jumpcount/laws.hpp).
template <class Model, class = void>
struct counted : std::false_type {};
template <class Model>
struct counted<Model, std::void_t<decltype(jumpcount::law_of(std::declval<const Model&>().exponent))>>
    : std::true_type {};

// Lévy models: their Greeks come from the prices' own sum (price_and_greeks_chain).
template <class Model>
struct levy : std::false_type {};
template <class Exponent>
struct levy<charfun::Levy<Exponent>> : std::true_type {};

// Whether a line is beyond the budget (or its estimate failed).
inline bool beyond_budget(const fourier::Line& line) { return !(line.nodes <= fourier::node_budget); }

// Whether a sum along the line would reach its node bound: the estimate doubles its guess
// until the tail test holds, so it is at most twice the nodes the sum needs, and twice that
// leaves room for the Greeks' factors. Such a sum is not started: it would spend seconds
// and report the bound anyway (an integrand that decays only like e^{-R u} with R near
// 1e-5, as a tiny variance with a large volatility of variance makes it).
inline bool beyond_reach(const fourier::Line& line) { return line.nodes > 4.0 * fourier::max_nodes; }

// Models that state a lopsided strip (model_interface.hpp).
template <class Model, class = void>
struct lopsided : std::false_type {};
template <class Model>
struct lopsided<Model, std::void_t<decltype(Model::lopsided_strip)>> : std::bool_constant<Model::lopsided_strip> {};

// The trapezoid's step is set by the half-width of the side's interval between pole and
// strip edge, and for a stochastic variance correlated with the price the strip can be
// several times wider on one side of the poles than on the other (rho -0.7, T = 1: -5.8 <
// Re w < 0 for a put, 1 < Re w < 23.7 for a call): there the narrow side's sum takes three
// times the nodes. A chain within two deviations of the money is then summed on the side
// at least twice as wide (`s`: the strip at T that the integrand has) and taken across by
// parity. Its prices are seldom small against the other side's: the side whose moments
// explode sooner is the one with the heavier tail.
template <class Model>
bool across(const Model& model, const charfun::Strip& s, double T, bool call, const double* k, std::size_t n) {
    if constexpr (!lopsided<Model>::value) return false;
    const double deviation = model.decay(T).deviation;
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::abs(k[i]) <= 2.0 * deviation)) return false;
    const double own = call ? s.hi - 1.0 : -s.lo;
    const double other = call ? -s.lo : s.hi - 1.0;
    return other >= 2.0 * own;
}

// A side line on the other side where `across` holds and that line is within the budget,
// else the side's own choice.
template <class LineOf, class Default>
fourier::SideLine side_line(bool across, bool call, LineOf&& line_of, Default&& own) {
    if (across) {
        const fourier::SideLine other{line_of(!call), !call};
        if (!beyond_budget(other.line)) return other;
    }
    return own();
}

// Prices taken across by parity (from_side) keep the sum's absolute error, well inside the
// prices' goals, and add an ulp of the sum, which is kept within a thousand ulps of each
// price: where a price is below a thousandth of the sum it comes from (or the sum failed),
// the chain is summed again on its own side. sum(side, line) sums the chain's prices of that
// side along the line into `out` (and whatever else its caller needs from the same sum).
// Returns whether `out` holds the prices.
template <class Model, class Sum>
bool price_chain_across(const Model& model, const charfun::Strip& strip, double T, bool call, const double* k,
                        std::size_t n, double* out, Status& status, double log_tolerance, Sum&& sum) {
    if (!across(model, strip, T, call, k, n)) return false;
    const fourier::Line line = fourier::price_line(model, T, fourier::admissible(strip, !call), k, n, log_tolerance);
    if (beyond_budget(line)) return false;
    status = sum(!call, line);
    if (status == Status::interrupted) return true;
    if (status != Status::ok) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const double price = fourier::from_side(out[i], k[i], !call, call);
        if (!(price >= 1e-3 * out[i])) return false;
        out[i] = price;
    }
    return true;
}

// log_tolerance: the Fourier sums' goal (the jump counts keep their own).
template <class Model>
Status price_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out, Stop stop,
                   double log_tolerance = fourier::price_log_tolerance) {
    const charfun::Strip strip = model.strip(T);
    if constexpr (lopsided<Model>::value) {
        Status status;
        const auto sum = [&](bool side, const fourier::Line& line) {
            return fourier::price_chain(model, T, side, line, k, n, out, stop, log_tolerance);
        };
        if (price_chain_across(model, strip, T, call, k, n, out, status, log_tolerance, sum)) return status;
    }
    const fourier::Line line = fourier::price_line(model, T, fourier::admissible(strip, call), k, n, log_tolerance);
    if constexpr (counted<Model>::value)
        if (beyond_budget(line)) return jumpcount::price_chain(model, T, call, k, n, out, stop);
    if (beyond_reach(line)) return Status::node_limit;
    return fourier::price_chain(model, T, call, line, k, n, out, stop, log_tolerance);
}

template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                      market::ForwardGreeks& out, Stop stop) {
    const charfun::Strip strip = model.strip(T);
    const fourier::SideLine on = side_line(
        across(model, strip, T, product.call(), &f.k, 1), product.call(),
        [&](bool side) { return fourier::greeks_line(model, f.k, T, fourier::admissible(strip, side)); },
        [&] { return fourier::greeks_side_line(model, f.k, T, strip, product.call()); });
    if constexpr (counted<Model>::value)
        if (beyond_budget(on.line)) return jumpcount::forward_greeks(model, f, T, product, out, stop);
    if (beyond_reach(on.line)) return Status::node_limit;
    return fourier::forward_greeks(model, f, T, product, on, out, stop);
}

// One option's price, to the bit price_chain's of it alone (a batch of one's), and its
// Greeks, for a model without jump counts whose Greeks' contour is the price's
// (charfun::costly): along the line the price takes (the other side's, or its own), both
// from one sum (fourier::price_and_greeks) where the Greeks' sum ends within the budget
// there (fourier::greeks_end_within_budget); otherwise the price alone and the Greeks on a
// line of their own (forward_greeks). Where the status is not ok the caller discards the
// values.
template <class Model>
Status price_and_forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                                market::ForwardGreeks& out, Stop stop) {
    const bool side = fourier::out_of_the_money_call(f.k);
    const charfun::Strip strip = model.strip(T);
    double sums[1 + fourier::greek_rows];
    // The sum of the side `on` along the line: the price's, with the Greeks' where they share
    // it; the last one's side and line are kept for the Greeks.
    bool shared = false, summed_side = side, between_poles = false;
    const auto sum = [&](bool on, const fourier::Line& line) {
        summed_side = on;
        between_poles = line.between_poles;
        shared = !beyond_budget(line) && fourier::greeks_end_within_budget(model, T, line, f.k);
        return shared ? fourier::price_and_greeks(model, T, on, line, f.k, sums, stop)
                      : fourier::price_chain(model, T, on, line, &f.k, 1, sums, stop);
    };
    Status status;
    if (!price_chain_across(model, strip, T, side, &f.k, 1, sums, status, fourier::price_log_tolerance, sum)) {
        const fourier::Line line = fourier::price_line(model, T, fourier::admissible(strip, side), &f.k, 1);
        if (beyond_reach(line)) return Status::node_limit;
        status = sum(side, line);
    }
    out.value = fourier::price_from_side(sums[0], status, f, side, product);
    if (status != Status::ok) return status;
    if (!shared) return forward_greeks(model, f, T, product, out, stop);
    fourier::greeks_from_sums(model, f, T, product, summed_side, between_poles, sums + 1, 1, out);
    return status;
}

// How a chain's prices and Greeks' sums were computed: along a line (between the poles or
// not), or the prices alone, each option's Greeks to follow from forward_greeks.
struct GreekChain {
    Status status;
    bool between_poles;
    bool per_option;
};

// Prices (row 0) and the Greeks' sums (rows 1 ...) of a chain along the prices' own line,
// so that the prices are price_chain's to the last bit. Where the Greeks cannot share that
// line (fourier::greeks_share_line) or the prices leave the Fourier sum, the prices come
// alone.
template <class Model>
GreekChain price_and_greeks_chain(const Model& model, double T, bool call, const double* k, std::size_t n,
                                  double* out, std::size_t stride, Stop stop) {
    const fourier::Line line = fourier::price_line(model, T, fourier::admissible(model, T, call), k, n);
    if (beyond_budget(line) || !fourier::greeks_share_line(model, T, call, line, k, n))
        return {price_chain(model, T, call, k, n, out, stop), false, true};
    return {fourier::price_and_greeks_chain(model, T, call, line, k, n, out, stride, stop), line.between_poles,
            false};
}

template <class Model>
Status sensitivities_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out,
                           std::size_t stride, Stop stop, double log_tolerance = fourier::derivative_log_tolerance) {
    const charfun::Strip strip = model.for_parameter_derivatives().strip(T);
    const fourier::SideLine on = side_line(
        across(model, strip, T, call, k, n), call,
        [&](bool side) {
            return fourier::sensitivities_line(model, T, fourier::admissible(strip, side), k, n, log_tolerance);
        },
        [&] { return fourier::sensitivities_side_line(model, T, strip, call, k, n, log_tolerance); });
    if constexpr (counted<Model>::value)
        if (beyond_budget(on.line)) return jumpcount::sensitivities_chain(model, T, call, k, n, out, stride, stop);
    if (beyond_reach(on.line)) return Status::node_limit;
    return fourier::sensitivities_chain(model, T, call, on, k, n, out, stride, stop, log_tolerance);
}

}  // namespace tarnwick::pricing
