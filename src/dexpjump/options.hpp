#pragma once

// European options under Kou's double-exponential jump-diffusion: the contract terms
// (maturity T, then strike K) are fields, the market and model parameters are arguments
// of the price.

#include <cmath>
#include <memory>

#include "dexpjump/upsilon.hpp"

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
    double priceByKouJumpDiffusion(double S, double r, double sigma, double lam, double p,
                                   double eta1, double eta2, int n) const override {
        const double zeta = ((1.0 - p) * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0)) - 1.0;
        const double a = std::log(K / S);
        const double half_variance = 0.5 * sigma * sigma;
        const double compensator = lam * zeta;
        const double upsilon1 = Upsilon((r + half_variance) - compensator, sigma,
                                        (zeta + 1.0) * lam, p / (zeta + 1.0) * (eta1 / (eta1 - 1.0)),
                                        eta1 - 1.0, eta2 + 1.0, a, T, n);
        const double upsilon2 =
            Upsilon((r - half_variance) - compensator, sigma, lam, p, eta1, eta2, a, T, n);
        return S * upsilon1 - upsilon2 * (K * std::exp(-r * T));
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
