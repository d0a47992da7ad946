#pragma once

// European options under Kou's double-exponential jump-diffusion: the contract terms
// (maturity T, then strike K) are fields, the market and model parameters are arguments
// of the price.

#include <cmath>
#include <memory>

#include "dexpjump/upsilon.hpp"
#include "dexpjump/upsilon_accurate.hpp"

namespace dexpjump {

class Option {
public:
    explicit Option(double T) : T(T) {}

    // Kou's probability P(Z(T) >= a); reads no field.
    double Upsilon(double mu, double sigma, double lambda, double p, double eta1, double eta2,
                   double a, double T, int n) const {
        return dexpjump::Upsilon(mu, sigma, lambda, p, eta1, eta2, a, T, n);
    }

protected:
    double T;
};

class EuropeanOption : public Option {
public:
    // No virtual destructor: every owner (a factory's caller, a Python instance's holder)
    // holds and destroys the option as its concrete class.
    EuropeanOption(double T, double K) : Option(T), K(K) {}

    virtual double priceByKouJumpDiffusion(double S, double r, double sigma, double lam,
                                           double p, double eta1, double eta2, int n) const = 0;

protected:
    double K;
};

class EuropeanCall : public EuropeanOption {
public:
    using EuropeanOption::EuropeanOption;

    // Kou's closed form: S Upsilon1 - K exp(-r T) Upsilon2, with Upsilon1 under the measure
    // that has the stock as numeraire (jump rates shifted by one) and Upsilon2 risk-neutral.
    // The literal evaluation is returned as is wherever its error bound is below 1e-13 S;
    // elsewhere, for inputs in the model's domain, the same cut series is evaluated
    // otherwise (see accurate_price), and the literal value is still returned where it
    // agrees with that evaluation, or where no other evaluation is within reach.
    double priceByKouJumpDiffusion(double S, double r, double sigma, double lam, double p,
                                   double eta1, double eta2, int n) const override {
        const Measures q = measures(S, r, sigma, lam, p, eta1, eta2);
        if (!inputs_valid(S, r, sigma, lam, p, eta1, eta2))
            return literal_price(q, S, sigma, lam, p, eta1, eta2, n).value;
        // Two cases in which the error bound of the literal evaluation is sure to fail,
        // decided before spending milliseconds on it: an exponential factor that overflows
        // while it multiplies jump terms (without jumps the literal price is the jump-free
        // term alone, exact unless the factor is infinite, which the bound catches), and a
        // Poisson tail past the cap at 170 that matters.
        const bool jump_terms = n > 0 && lam * T > 0;
        const bool literal_fails =
            (jump_terms && literal_overflows(sigma, eta1, eta2)) ||
            (n > max_terms && tarnwick::poisson_tail_bound(max_terms + 1, q.lambda1 * T) +
                                      tarnwick::poisson_tail_bound(max_terms + 1, lam * T) >
                                  literal_tolerance);
        Estimated literal{NAN, INFINITY};
        if (!literal_fails) {
            literal = literal_price(q, S, sigma, lam, p, eta1, eta2, n);
            if (std::isfinite(literal.value) && literal.error <= literal_tolerance * S)
                return literal.value;
        }
        const double accurate = accurate_price(q, S, sigma, lam, p, eta1, eta2, n);
        if (std::isnan(accurate))
            return literal_fails ? literal_price(q, S, sigma, lam, p, eta1, eta2, n).value
                                 : literal.value;
        // The bound is conservative: most literal values it leaves in doubt are right, and
        // one within the tolerance of the accurate value, less that value's own error
        // allowance, keeps its bits.
        const double agreement = literal_tolerance * S - accurate_error * (S + q.discounted_strike);
        if (std::fabs(literal.value - accurate) <= agreement) return literal.value;
        return accurate;
    }

private:
    // The parameters of both probabilities: Upsilon1 under the share measure (drift mu1,
    // jump rate lambda1, up-jump probability p1, rates eta1 - 1 and eta2 + 1), Upsilon2
    // risk-neutral (drift mu2).
    struct Measures {
        double a, mu1, lambda1, p1, mu2, discounted_strike;
    };

    Measures measures(double S, double r, double sigma, double lam, double p, double eta1,
                      double eta2) const {
        const double zeta = ((1.0 - p) * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0)) - 1.0;
        const double half_variance = 0.5 * sigma * sigma;
        const double compensator = lam * zeta;
        return {std::log(K / S), (r + half_variance) - compensator, (zeta + 1.0) * lam,
                p / (zeta + 1.0) * (eta1 / (eta1 - 1.0)), (r - half_variance) - compensator,
                K * std::exp(-r * T)};
    }

    Estimated literal_price(const Measures& q, double S, double sigma, double lam, double p,
                            double eta1, double eta2, int n) const {
        const Estimated upsilon1 =
            Upsilon_estimated(q.mu1, sigma, q.lambda1, q.p1, eta1 - 1.0, eta2 + 1.0, q.a, T, n);
        const Estimated upsilon2 = Upsilon_estimated(q.mu2, sigma, lam, p, eta1, eta2, q.a, T, n);
        return {S * upsilon1.value - upsilon2.value * q.discounted_strike,
                S * upsilon1.error + q.discounted_strike * upsilon2.error};
    }

    // The cut series where the literal evaluation of it is not accurate; NaN where no
    // other evaluation can vouch for its result (see Upsilon_accurate). A count n past
    // the Poisson windows of both measures sums terms that cannot change the result: the
    // literal series cut at the window's end is tried first (for few jumps and a small
    // sigma sqrt(T) it is accurate where the inversion converges slowly).
    double accurate_price(const Measures& q, double S, double sigma, double lam, double p,
                          double eta1, double eta2, int n) const {
        const double window_end = tarnwick::poisson_window(std::fmax(q.lambda1, lam) * T).hi;
        if (n > window_end && window_end <= max_terms && !literal_overflows(sigma, eta1, eta2)) {
            const Estimated cut = literal_price(q, S, sigma, lam, p, eta1, eta2, int(window_end));
            if (std::isfinite(cut.value) && cut.error <= literal_tolerance * S) return cut.value;
        }
        const double upsilon1 = Upsilon_accurate(q.mu1, sigma, q.lambda1, q.p1, eta1 - 1.0, eta2 + 1.0, q.a, T, n);
        if (std::isnan(upsilon1)) return NAN;
        return S * upsilon1 - Upsilon_accurate(q.mu2, sigma, lam, p, eta1, eta2, q.a, T, n) * q.discounted_strike;
    }

    // exp((eta sigma)^2 T / 2) is beyond 1e48 for eta1 - 1 or eta2 + 1 (the larger rates
    // are those of the share measure) past 15 / (sigma sqrt(T)), and infinite past 37.7:
    // the sums it multiplies would have to cancel to 60 digits, more than a double holds,
    // so the error bound cannot pass.
    bool literal_overflows(double sigma, double eta1, double eta2) const {
        const double largest = std::fmax(eta1 - 1.0, eta2 + 1.0) * sigma;
        return largest * largest * T > 225.0;
    }

    // Largest error of the literal price, relative to S, for which it is returned as is.
    static constexpr double literal_tolerance = 1e-13;
    // What the accurate evaluation is allowed to be off, relative to S + K exp(-r T): the
    // probabilities come to a few ulps of 1 (the price is within 3e-16 S of the mpmath
    // series wherever measured), and the strike multiplies the second one.
    static constexpr double accurate_error = 5e-15;

    // The model's domain; every other input keeps what the literal evaluation gives.
    bool inputs_valid(double S, double r, double sigma, double lam, double p, double eta1,
                      double eta2) const {
        const double all[] = {T, K, S, r, sigma, lam, p, eta1, eta2};
        for (double v : all)
            if (!std::isfinite(v)) return false;
        return T > 0 && K > 0 && S > 0 && sigma > 0 && lam >= 0 && p >= 0 && p <= 1 &&
               eta1 > 1 && eta2 > 0;
    }
};

class EuropeanPut : public EuropeanOption {
public:
    using EuropeanOption::EuropeanOption;

    // Put-call parity on a call with the same terms, priced without dynamic dispatch.
    double priceByKouJumpDiffusion(double S, double r, double sigma, double lam, double p,
                                   double eta1, double eta2, int n) const override {
        const EuropeanCall call(T, K);
        const double call_price = call.EuropeanCall::priceByKouJumpDiffusion(S, r, sigma, lam, p,
                                                                              eta1, eta2, n);
        return (K * std::exp(-r * T) + call_price) - S;
    }
};

inline std::unique_ptr<EuropeanCall> create_european_call(double T, double K) {
    return std::make_unique<EuropeanCall>(T, K);
}

inline std::unique_ptr<EuropeanPut> create_european_put(double T, double K) {
    return std::make_unique<EuropeanPut>(T, K);
}

}  // namespace dexpjump
