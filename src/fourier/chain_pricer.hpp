#pragma once

// Trapezoid sums along one contour (contour.hpp) for a chain of options that share the
// model, the maturity and the side (call or put): prices here, parameter sensitivities and
// the Greeks of one option in transform_pricer.hpp. The characteristic function
// depends on neither strike nor spot, so each node's value is computed once for the whole
// chain; a strike only adds its phase exp(-i u (k - k_mid)), advanced from node to node by a
// rotation, and its amplitude exp((1 - theta)(k - k_mid)).

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>

#include "charfun/complex_expm1.hpp"
#include "common/status.hpp"
#include "fourier/contour.hpp"
#include "fourier/line.hpp"
#include "market/forward.hpp"
#include "product/option.hpp"

namespace tarnwick::fourier {

using complex = std::complex<double>;

// Absolute error goal of a price in units of the discounted forward S e^{-qT}: e^-35 =
// 6e-16, below both 1e-12 of the spot and 1e-9 of any price above 1e-6 of the spot. The
// estimates behind it are bounds; actual errors are smaller still.
inline constexpr double price_log_tolerance = -35.0;
// How much larger than at the saddle the integrand may be on a line chosen for a longer step.
inline constexpr double price_log_excess = 3.0;
// A hard bound on the nodes of one integral, so that no input can hang a batch. A sum that
// reaches it has not met its tail test: its status says so (Status::node_limit).
inline constexpr long max_nodes = 1L << 22;
// Nodes between two looks at the stop request: some microseconds of work.
inline constexpr long stop_interval = 1024;
// Strikes per chain (a multiple of the vector block below): the per-strike state lives on
// the stack.
inline constexpr std::size_t max_chain = 256;
// Phases are recomputed exactly every this many rotations, so that the rounding of the
// recurrence (about one ulp per step) never accumulates past a few dozen ulps.
inline constexpr long reseed_interval = 32;
// A chain spans at most this change of log size across its strikes at the common theta:
// beyond it the far strikes' integrands would be e^4 times larger than their prices warrant.
inline constexpr double chain_log_spread = 4.0;

// e^z without the C library's classification of the arguments (a sixth of a price's sum).
using charfun::exp_of;

// The trapezoid sums along the contour of Rows integrands g_r(w) e^{(1 - w)(k_i - k_mid)}
// for the strikes k[0..n), n <= max_chain, scaled by h / pi, to out[r * stride + i].
// node(w, L, e, g) fills g[0..Rows) from w, L = model.log_mgf(w, T) and
// e = exp(L + (1 - w) k_mid), and returns a bound of its integrands' size relative to
// e / (w (w - 1)) for the tail test; inverse_square lets that test use the faster decay of
// integrands with no polynomial factor in w (prices). The status is not ok where the sum
// reached max_nodes, a sum is not finite, or `stop` was raised. `evaluate` gives L at a
// node (a LogMgf or a type derived from it, which node receives).
// The first Lead rows are prices summed beside the others on the same nodes: they stop where
// a price's own sum stops (its goal, its tail test), so that their bits are those of
// price_chain's sum, while the sum runs on until the other rows' tail test holds as well.
struct LogMgfOf {
    template <class Model>
    charfun::LogMgf operator()(const Model& model, complex w, double T) const {
        return model.log_mgf(w, T);
    }
};

template <std::size_t Rows, std::size_t Lead = 0, class Model, class Node, class Evaluate = LogMgfOf>
Status accumulate_chain(const Model& model, double T, const Contour& contour, const double* k, std::size_t n,
                        double log_tolerance, bool inverse_square, Node&& node, double* out, std::size_t stride,
                        Stop stop, Evaluate evaluate = {}) {
    const auto [lo, hi] = std::minmax_element(k, k + n);
    const double k_mid = 0.5 * (*lo + *hi);
    const double theta = contour.theta;
    // Where the error estimate allows any step (the whole integrand is below tolerance),
    // still resolve the width of its decay so that the sum sees it.
    const double h = std::min(contour.step, finest_step(model.decay(T)));

    constexpr std::size_t block = 8;
    const std::size_t padded = (n + block - 1) / block * block;
    double offset[max_chain], amplitude[max_chain], re[max_chain], im[max_chain], rot_re[max_chain],
        rot_im[max_chain], sum[Rows][max_chain];
    double largest = 0.0;
    for (std::size_t i = 0; i < padded; ++i) {
        offset[i] = i < n ? k[i] - k_mid : 0.0;
        amplitude[i] = i < n ? std::exp((1.0 - theta) * offset[i]) : 0.0;
        largest = std::max(largest, amplitude[i]);
        rot_re[i] = std::cos(h * offset[i]);
        rot_im[i] = -std::sin(h * offset[i]);
        for (std::size_t r = 0; r < Rows; ++r) sum[r][i] = 0.0;
    }
    // The tail bound at the strike with the largest amplitude holds for all.
    const double k_tail = k_mid + std::log(largest) / (1.0 - theta);
    const TailTest<Model> tail(model, T, theta, k_tail, log_tolerance, inverse_square);
    bool lead_done = Lead == 0;
    double lead[Lead > 0 ? Lead : 1][max_chain];
    // A lone strike at k_mid (every single option) keeps the phase 1 - 0 i exactly: amplitude
    // e^0, and cos 0, -sin 0 at every node and in every rotation. Its sums skip the phase and
    // add Re g - Im g * 0, what the rotation's arithmetic gives to the last bit (a non-finite
    // Im g still spoils the sum); for the Greeks' ten rows the phase work was a fifth of the sum.
    const bool lone = n == 1 && offset[0] == 0.0 && amplitude[0] == 1.0 && std::isfinite(h);
    double lone_sum[Rows] = {};  // side by side, so that the rows' sums vectorise
    // A copy the sums' stores cannot alias, so that the model's constants leave the loop.
    const Model local = model;
    Status status = Status::node_limit;
    for (long j = 0; j < max_nodes; ++j) {
        const double u = h * static_cast<double>(j);
        const complex w{theta, u};
        const auto L = evaluate(local, w, T);
        complex g[Rows];
        const double size = node(w, L, exp_of(L.value + (1.0 - w) * k_mid), g);
        // The trapezoid's half weight at u = 0 (a scaling by 1 elsewhere changes no bit).
        const double weight = j == 0 ? 0.5 : 1.0;
        if (lone) {
            // Rows beside Lead prices only need their real parts (the prices' row tells a
            // non-finite node): a tenth of the Greeks' pass.
            constexpr std::size_t exact = Lead > 0 ? Lead : Rows;
            for (std::size_t r = 0; r < exact; ++r) lone_sum[r] += weight * g[r].real() - weight * g[r].imag() * 0.0;
            for (std::size_t r = exact; r < Rows; ++r) lone_sum[r] += weight * g[r].real();
        } else {
            if (j % reseed_interval == 0) {
                for (std::size_t i = 0; i < padded; ++i) {
                    re[i] = amplitude[i] * std::cos(u * offset[i]);
                    im[i] = -amplitude[i] * std::sin(u * offset[i]);
                }
            }
            double gr[Rows], gi[Rows];
            for (std::size_t r = 0; r < Rows; ++r) {
                gr[r] = weight * g[r].real();
                gi[r] = weight * g[r].imag();
            }
            // Blocks of a fixed length, so that the compiler vectorises the strike loop; the
            // padding strikes have zero amplitude. A short chain skips the padding.
            const auto advance = [&](std::size_t i) {
                for (std::size_t r = 0; r < Rows; ++r) sum[r][i] += gr[r] * re[i] - gi[r] * im[i];
                const double next_re = re[i] * rot_re[i] - im[i] * rot_im[i];
                im[i] = re[i] * rot_im[i] + im[i] * rot_re[i];
                re[i] = next_re;
            };
            if (n < block) {
                for (std::size_t i = 0; i < n; ++i) advance(i);
            } else {
                for (std::size_t b = 0; b < padded; b += block)
                    for (std::size_t i = b; i < b + block; ++i) advance(i);
            }
        }
        if (j % tail_test_interval == 0 && j > 0) {
            if constexpr (Lead > 0) {
                if (!lead_done && TailTest<Model>(model, T, theta, k_tail, price_log_tolerance, true)
                                      .done(u, 1.0, L.value.real())) {
                    lead_done = true;
                    for (std::size_t r = 0; r < Lead; ++r)
                        for (std::size_t i = 0; i < n; ++i) lead[r][i] = lone ? lone_sum[r] : sum[r][i];
                }
            }
            if (lead_done && tail.done(u, size, L.value.real())) {
                status = Status::ok;
                break;
            }
        }
        if (j % stop_interval == 0 && stop.requested()) return Status::interrupted;
    }
    if (lone)
        for (std::size_t r = 0; r < Rows; ++r) sum[r][0] = lone_sum[r];
    if constexpr (Lead > 0)
        for (std::size_t r = 0; r < Lead; ++r)
            for (std::size_t i = 0; i < n; ++i) sum[r][i] = lead[r][i];
    for (std::size_t r = 0; r < Rows; ++r)
        for (std::size_t i = 0; i < n; ++i) {
            out[r * stride + i] = sum[r][i] * h / pi;
            if (!std::isfinite(out[r * stride + i]) && status == Status::ok) status = Status::not_finite;
        }
    return status;
}

// The contour of a chain of prices within a range of Re w (a side's, or between the poles).
// log_tolerance: the goal, price_log_tolerance unless a caller needs fewer digits.
template <class Model>
Contour price_contour(const Model& model, double T, Interval range, const double* k, std::size_t n,
                      double log_tolerance = price_log_tolerance) {
    const auto [lo, hi] = std::minmax_element(k, k + n);
    return choose_contour(model, T, *lo, *hi, range, log_tolerance, price_log_excess);
}

// The residue that the line between the poles leaves out of the side's prices, added to them.
template <class Model>
void add_price_residue(const Model& model, double T, bool call, const double* k, std::size_t n, double* out) {
    const double residue = std::exp(pole_log_mgf(model, T, call).value.real());
    for (std::size_t i = 0; i < n; ++i) out[i] += call ? residue : std::exp(k[i]) * residue;
}

// Call (call = true) or put prices in units of S e^{-qT} of options with log-moneyness
// k[i] = ln(K / F), n <= max_chain, summed along the line.
template <class Model>
Status price_chain(const Model& model, double T, bool call, const Line& line, const double* k, std::size_t n,
                   double* out, Stop stop = {}, double log_tolerance = price_log_tolerance) {
    const Status status = accumulate_chain<1>(model, T, line.contour, k, n, log_tolerance, true,
                                              [](complex w, const charfun::LogMgf&, complex e, complex* g) {
                                                  // One real division instead of a complex one.
                                                  const complex ww = w * (w - 1.0);
                                                  g[0] = e * std::conj(ww) / std::norm(ww);
                                                  return 1.0;
                                              },
                                              out, n, stop);
    if (line.between_poles) add_price_residue(model, T, call, k, n, out);
    return status;
}

// The prices' line within the side's admissible interval (admissible).
template <class Model>
Line price_line(const Model& model, double T, Interval side, const double* k, std::size_t n,
                double log_tolerance = price_log_tolerance) {
    return choose_line(model, T, side, 0.5 * (k[0] + k[n - 1]), log_tolerance, true, 0,
                       [&](Interval range) { return price_contour(model, T, range, k, n, log_tolerance); });
}

template <class Model>
Status price_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out,
                   Stop stop = {}) {
    return price_chain(model, T, call, price_line(model, T, admissible(model, T, call), k, n), k, n, out, stop);
}

// Each option is priced on the contour of its out-of-the-money side, the call for K > F
// and the put otherwise: there the integrand is as small as the price, and the
// in-the-money side follows by adding the intrinsic forward value, c = p + 1 - e^k, a sum
// of two positive terms (no cancellation).
inline bool out_of_the_money_call(double k) { return k > 0.0; }

inline double from_side(double side_price, double k, bool side_call, bool call) {
    if (side_call == call) return side_price;
    return call ? side_price - std::expm1(k) : side_price + std::expm1(k);
}

// A price from the normalised price c of its out-of-the-money side (`side_call`): D F c
// plus the intrinsic forward value where the option is in the money, kept within the
// no-arbitrage bounds; NaN where the status is not ok.
inline double price_from_side(double c, Status status, const market::Forward& f, bool side_call, Product product) {
    if (status != Status::ok) return std::nan("");
    const double value = f.discounted_forward * from_side(c, f.k, side_call, product.call());
    return market::within_bounds(value, f, product);
}

// One option at maturity T in forward terms.
template <class Model>
Status price(const Model& model, const market::Forward& f, double T, Product product, double& out, Stop stop = {}) {
    const bool side = out_of_the_money_call(f.k);
    double c;
    const Status status = price_chain(model, T, side, &f.k, 1, &c, stop);
    out = price_from_side(c, status, f, side, product);
    return status;
}

// How many options from k[0] on (sorted ascending, all of one maturity and side, at most
// `available`) go into one chain: as long as the log size at a common theta changes by at
// most chain_log_spread, which is |theta - pole| per unit of k, at the saddles of both ends.
template <class Model>
std::size_t chain_length(const Model& model, double T, bool call, const double* k, std::size_t available) {
    available = std::min(available, max_chain);
    if (available <= 1) return available;
    const Interval range = admissible(model, T, call);
    const double pole = call ? 1.0 : 0.0;
    double width = chain_log_spread / std::abs(saddle(model, T, k[0], range) - pole);
    width = std::min(width, chain_log_spread / std::abs(saddle(model, T, k[0] + width, range) - pole));
    std::size_t n = 1;
    while (n < available && k[n] - k[0] <= width) ++n;
    return n;
}

}  // namespace tarnwick::fourier
