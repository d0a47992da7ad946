#pragma once

// The scheme of a stochastic-volatility model (stochastic_volatility.hpp): Andersen's
// quadratic-exponential (QE) step for Heston's variance, the log price given the
// variance's two ends, a drift correction that makes the discrete price a martingale, and
// the independent jumps drawn exactly.
//
// Variance. Over a step dt from v the variance's exact conditional mean and variance are
//
//     m = theta + (v - theta) e,   s2 = v xi^2 e (1 - e) / kappa + theta xi^2 (1 - e)^2 / (2 kappa),
//
// e = e^{-kappa dt}. Where psi = s2 / m^2 <= 3/2 the next variance is a (b + Z)^2, a
// scaled non-central chi-square with one degree of freedom matching m and s2; above, where
// the variance may reach zero, a mixture of a mass p at 0 and an exponential of rate beta.
//
// Log price. Exactly, X' - X = -I / 2 + rho (v' - v - kappa theta dt + kappa I) / xi
// + sqrt(1 - rho^2) (integral of sqrt(v) dW), I the integrated variance. The scheme takes I as
// its exact mean given v, I0 = theta dt + (v - theta)(1 - e) / kappa, plus w (v' - m), w =
// (1 - e) / (kappa (1 + e)) the regression of the integrated variance on the end variance
// of a mean-reverting process with a constant noise (dt / 2, the trapezoid rule's weight,
// for a short step; 1 / kappa for a long one, where the end forgets the path). Then the
// bracket is (v' - m)(1 + kappa w), kappa w = tanh(kappa dt / 2) < 1: no deterministic
// remainder is left to be divided by xi (the plain trapezoid rule leaves an O((kappa
// dt)^3) one that a small xi would blow up), v' - m is itself proportional to xi, and the
// lever stays below 2 rho / xi for any kappa dt (with dt / 2 it would grow with kappa dt).
//
// Martingale. Given v, E[e^{X' - X}] = e^{-rho^2 I0 / 2 - A m} E[e^{A v'}], A = rho (1 +
// kappa w) / xi - rho^2 w / 2, and E[e^{A v'}] is known in closed form for both branches
// where it exists (2 A a < 1, and A m < 1 - p): the step adds the log of its inverse, so
// that E[S'] = S e^{(r - q) dt} exactly. Where it does not exist (a long step from a high
// variance, with rho near 1 and xi of a few units) the step is split in halves, whose
// conditional law shrinks until it does; a step that 12 halvings (4,096 parts) leave
// without one gives NaN, which the caller reports.

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "charfun/levy.hpp"
#include "charfun/stochastic_volatility.hpp"

namespace tarnwick::simulation {

template <class Jumps>
class QuadraticExponential {
    using Model = charfun::StochasticVolatility<Jumps>;
    using Measure = decltype(std::declval<const Jumps&>().jumps());

  public:
    struct State {
        double v;
    };

    QuadraticExponential(const Model& model, const double* dt, std::size_t steps)
        : v0_(model.v0), kappa_(model.kappa), theta_(model.theta), xi_(model.xi), rho_(model.rho) {
        const Measure measure = model.jumps.jumps();
        steps_.reserve(steps);
        for (std::size_t j = 0; j < steps; ++j)
            steps_.push_back({variance_step(dt[j]), -measure.compensator() * dt[j], charfun::jump_step(measure, dt[j])});
    }

    State start() const { return {v0_}; }

    // X over step j, the variance moved to the step's end.
    template <class Generator>
    double increment(std::size_t j, State& state, Generator& g) const {
        const Step& step = steps_[j];
        return diffusion(step.variance, state.v, g, 0) + step.jump_drift + step.jumps.draw(g);
    }

  private:
    // The constants of a variance step of length dt.
    struct VarianceStep {
        double dt;
        double decay;      // e = e^{-kappa dt}
        double rise;       // 1 - e
        double growth;     // (1 - e) / kappa, the weight of v in I0
        double from_v;     // s2 per unit v
        double from_theta; // the rest of s2
        double response;   // w, the response of I to v' - m
        double lever;      // rho (1 + kappa w) / xi
        double A;          // the exponent of E[e^{A v'}]
    };
    struct Step {
        VarianceStep variance;
        double jump_drift;  // the jumps' compensator over the step
        charfun::JumpStep<Measure> jumps;
    };

    VarianceStep variance_step(double dt) const {
        const double kd = kappa_ * dt;
        const double rise = -std::expm1(-kd);  // 1 - e, without cancellation for a small kappa dt
        const double decay = std::exp(-kd);
        const double xi2 = xi_ * xi_;
        const double growth = rise / kappa_;
        const double response = growth / (1.0 + decay);
        const double lever = rho_ * (1.0 + rise / (1.0 + decay)) / xi_;
        return {dt,
                decay,
                rise,
                growth,
                xi2 * decay * growth,
                theta_ * xi2 * rise * growth / 2.0,
                response,
                lever,
                lever - 0.5 * rho_ * rho_ * response};
    }

    // Halvings of a step whose martingale correction does not exist; each one shrinks the
    // conditional law's scale, so that a few suffice for any usual step.
    static constexpr int max_halvings = 12;

    template <class Generator>
    double diffusion(const VarianceStep& c, double& v, Generator& g, int halvings) const {
        const double m = theta_ * c.rise + v * c.decay;
        const double s2 = v * c.from_v + c.from_theta;
        // Divided twice: m * m underflows for a variance far below the doubles' square root.
        const double psi = s2 / m / m;
        const double I0 = theta_ * (c.dt - c.growth) + v * c.growth;
        double next, correction;
        if (!(m > 0.0)) {
            // No time passed, or the variance sits at 0 for a step too short to lift it.
            next = v;
            correction = 0.0;
        } else if (psi <= 1.5) {
            const double t = 2.0 / psi;
            const double b2 = t - 1.0 + std::sqrt(t) * std::sqrt(t - 1.0);
            const double a = m / (1.0 + b2);
            const double Aa = c.A * a;
            if (!(2.0 * Aa < 1.0)) return split(c, v, g, halvings);
            const double z = g.normal();
            // b2 overflows only for a variance whose noise is below the doubles' reach.
            next = std::isfinite(b2) ? a * (std::sqrt(b2) + z) * (std::sqrt(b2) + z) : m;
            // A m - ln E[e^{A v'}], E[e^{A v'}] = e^{A b2 a / (1 - 2 A a)} / sqrt(1 - 2 A a),
            // rewritten with b2 a = m - a so that nothing of order A m cancels.
            correction = Aa * (1.0 - 2.0 * c.A * m) / (1.0 - 2.0 * Aa) + 0.5 * std::log1p(-2.0 * Aa);
        } else {
            const double keep = 2.0 / (psi + 1.0);  // 1 - p, the chance that v' > 0
            const double Am = c.A * m;
            if (!(Am < keep)) return split(c, v, g, halvings);
            const double u = g.uniform();
            // v' = 0 with probability p, else exponential with mean m / (1 - p).
            next = u < 1.0 - keep ? 0.0 : std::log(keep / (1.0 - u)) * m / keep;
            // A m - ln(p + (1 - p) beta / (beta - A)), beta = (1 - p) / m.
            correction = Am - std::log1p(keep * Am / (keep - Am));
        }
        const double surprise = next - m;
        const double I = std::max(I0 + c.response * surprise, 0.0);
        const double z = g.normal();
        v = next;
        return -0.5 * I + c.lever * surprise + std::sqrt((1.0 - rho_) * (1.0 + rho_) * I) * z +
               0.5 * rho_ * rho_ * I0 + correction;
    }

    template <class Generator>
    double split(const VarianceStep& c, double& v, Generator& g, int halvings) const {
        if (halvings == max_halvings) return std::numeric_limits<double>::quiet_NaN();
        const VarianceStep half = variance_step(0.5 * c.dt);
        const double first = diffusion(half, v, g, halvings + 1);
        return first + diffusion(half, v, g, halvings + 1);
    }

    double v0_, kappa_, theta_, xi_, rho_;
    std::vector<Step> steps_;
};

}  // namespace tarnwick::simulation
