#pragma once

// Scaled complementary error function erfcx(y) = exp(y^2) erfc(y) for y >= 0.

#include <cmath>

namespace tarnwick::impliedvol {

// exp(y^2) erfc(y) for y >= 0, to a few units in the last place.
//
// Below y = 26 the product is taken as it stands, but with y^2 carried exactly as
// hi + lo (Dekker's product): exp(y^2) with y^2 rounded first would be off by
// y^2 * 2^-53 relative, 75 units in the last place at y = 26. erfc(y) itself keeps full
// relative accuracy up to there, and exp(hi) stays finite (erfc(26) ~ 2e-296 is still a
// normal number). Above, erfc underflows, and the asymptotic series
// 1 / (y sqrt(pi)) * sum_k (-1)^k (2k-1)!! / (2y^2)^k has converged to double precision
// after eight terms (the ninth is below 1e-19 relative at y = 26).
inline double erfcx(double y) {
    if (y < 26.0) {
        const double hi = y * y;
        const double split = 134217729.0 * y;  // 2^27 + 1: y = yh + yl, each 26 bits
        const double yh = split - (split - y);
        const double yl = y - yh;
        const double lo = ((yh * yh - hi) + 2.0 * yh * yl) + yl * yl;
        // exp(hi + lo) = exp(hi) (1 + lo) since |lo| <= ulp(hi) / 2 < 2^-44.
        return std::exp(hi) * (1.0 + lo) * std::erfc(y);
    }
    constexpr double inverse_sqrt_pi = 0.56418958354775628695;
    const double w = 0.5 / (y * y);
    // Horner form of 1 - w + 3w^2 - 15w^3 + ... with coefficients (-1)^k (2k-1)!!.
    double sum = 1.0;
    for (int k = 8; k >= 1; --k) sum = 1.0 - (2 * k - 1) * w * sum;
    return inverse_sqrt_pi / y * sum;
}

}  // namespace tarnwick::impliedvol
