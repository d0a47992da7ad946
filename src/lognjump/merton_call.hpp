#pragma once

#include "lognjump/merton_price.hpp"

namespace lognjump {

// A European call under Merton's model: the contract terms only; the market and model
// parameters are arguments of the price.
class MertonEuropeanCall {
public:
    // Strike first, maturity second.
    MertonEuropeanCall(double K, double T) : T(T), K(K) {}

    double JDAnalyticalPrice(double S, double sigma, double r, double lam, double m, double s,
                             double n) const {
        return merton_call_price(T, K, S, sigma, r, lam, m, s, n);
    }

private:
    double T;
    double K;
};

}  // namespace lognjump
