#pragma once

// Delbourgo and Gregory's rational cubic interpolant on one interval, and the choice of its
// control parameter r from a second derivative at one end.
//
// On [x_l, x_r] with values y_l, y_r, slopes d_l, d_r, width w and u = (x - x_l) / w:
//     R(x) = [y_r u^3 + (r y_r - w d_r) u^2 (1-u) + (r y_l + w d_l) u (1-u)^2 + y_l (1-u)^3]
//            / [1 + (r - 3) u (1-u)].
// r = 3 is the cubic Hermite interpolant, r -> infinity the straight line. Differentiating
// twice at u = 0 gives R''(x_l) = 2 [r (Delta - d_l) + d_l - d_r] / w with Delta the secant
// slope, and the mirror image at u = 1; solving either for r fits a second derivative.
// For monotone data with slopes of the same sign, r >= (d_l + d_r) / Delta keeps R
// monotone (and r >= 0 keeps the denominator above 1/4), so a fitted r is raised to that
// bound: the interpolant then stays inside the range of its end values.

#include <algorithm>
#include <cmath>

namespace tarnwick::impliedvol {

struct RationalCubic {
    double x_l, x_r, y_l, y_r, d_l, d_r;

    double secant() const { return (y_r - y_l) / (x_r - x_l); }

    double operator()(double x, double r) const {
        const double w = x_r - x_l;
        const double u = (x - x_l) / w;
        const double v = 1.0 - u;
        if (!std::isfinite(r)) return y_r * u + y_l * v;
        const double numerator = y_r * u * u * u + (r * y_r - w * d_r) * u * u * v +
                                 (r * y_l + w * d_l) * u * v * v + y_l * v * v * v;
        return numerator / (1.0 + (r - 3.0) * u * v);
    }

    // The smallest r that keeps monotone data monotone.
    double monotone_r() const {
        const double delta = secant();
        if (!(delta != 0.0) || !std::isfinite(delta)) return HUGE_VAL;
        return std::max(0.0, (d_l + d_r) / delta);
    }

    // r with R''(x_l) = second, raised to keep monotone data monotone.
    double r_for_left_curvature(double second) const {
        const double delta = secant();
        const double r = (0.5 * (x_r - x_l) * second + (d_r - d_l)) / (delta - d_l);
        return shape_preserving(r);
    }

    // r with R''(x_r) = second, raised to keep monotone data monotone.
    double r_for_right_curvature(double second) const {
        const double delta = secant();
        const double r = (0.5 * (x_r - x_l) * second + (d_r - d_l)) / (d_r - delta);
        return shape_preserving(r);
    }

  private:
    double shape_preserving(double r) const {
        const double bound = monotone_r();
        return std::isnan(r) ? bound : std::max(r, bound);
    }
};

}  // namespace tarnwick::impliedvol
