#pragma once

// European options under Kou's double-exponential jump-diffusion: the contract terms
// (maturity T, then strike K) are fields, the market and model parameters are arguments
// of the price.

#include <cmath>
#include <memory>

#include "dexpjump/upsilon.hpp"
#include "dexpjump/upsilon_inversion.hpp"

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
    // elsewhere, for inputs in the model's domain, both probabilities of the same cut
    // series come from Fourier inversion.
    double priceByKouJumpDiffusion(double S, double r, double sigma, double lam, double p,
                                   double eta1, double eta2, int n) const override {
        const double zeta = ((1.0 - p) * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0)) - 1.0;
        const double a = std::log(K / S);
        const double half_variance = 0.5 * sigma * sigma;
        const double compensator = lam * zeta;
        const double mu1 = (r + half_variance) - compensator;
        const double lambda1 = (zeta + 1.0) * lam;
        const double p1 = p / (zeta + 1.0) * (eta1 / (eta1 - 1.0));
        const double mu2 = (r - half_variance) - compensator;
        const double discounted_strike = K * std::exp(-r * T);
        const bool valid = inputs_valid(S, r, sigma, lam, p, eta1, eta2);
        // Past lambda T of 1e6 the Poisson window alone (2e4 counts) would take too long.
        const bool invertible = valid && lambda1 * T < 1e6;
        // Two cases in which the error bound of the literal evaluation is sure to fail,
        // decided before spending milliseconds on it: an exponential factor that overflows,
        // and a Poisson tail past the cap at 170 that matters.
        if (invertible && (literal_overflows(sigma, eta1, eta2) ||
                           (n > max_terms && tarnwick::poisson_tail_bound(max_terms + 1, lambda1 * T) +
                                                     tarnwick::poisson_tail_bound(max_terms + 1, lam * T) >
                                                 literal_tolerance))) {
            return S * Upsilon_by_inversion(mu1, sigma, lambda1, p1, eta1 - 1.0, eta2 + 1.0, a, T, n) -
                   Upsilon_by_inversion(mu2, sigma, lam, p, eta1, eta2, a, T, n) * discounted_strike;
        }
        const Estimated upsilon1 =
            Upsilon_estimated(mu1, sigma, lambda1, p1, eta1 - 1.0, eta2 + 1.0, a, T, n);
        const Estimated upsilon2 = Upsilon_estimated(mu2, sigma, lam, p, eta1, eta2, a, T, n);
        const double literal = S * upsilon1.value - upsilon2.value * discounted_strike;
        if (!invertible) return literal;
        const double error = S * upsilon1.error + discounted_strike * upsilon2.error;
        if (std::isfinite(literal) && error <= literal_tolerance * S) return literal;
        return S * Upsilon_by_inversion(mu1, sigma, lambda1, p1, eta1 - 1.0, eta2 + 1.0, a, T, n) -
               Upsilon_by_inversion(mu2, sigma, lam, p, eta1, eta2, a, T, n) * discounted_strike;
    }

private:
    // exp((eta sigma)^2 T / 2) is infinite for eta1 - 1 or eta2 + 1 (the larger rates are
    // those of the share measure) past 37.7 / (sigma sqrt(T)).
    bool literal_overflows(double sigma, double eta1, double eta2) const {
        const double largest = std::fmax(eta1 - 1.0, eta2 + 1.0) * sigma;
        return largest * largest * T * 0.5 > 709.0;
    }

    // Largest error of the literal price, relative to S, for which it is returned as is.
    static constexpr double literal_tolerance = 1e-13;

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
