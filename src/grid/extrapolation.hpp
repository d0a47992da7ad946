#pragma once

// Richardson extrapolation over two solutions whose errors fall as h^2 + dt^2, the finer
// with both steps halved: (4 fine - coarse) / 3 removes the leading term.

#include "grid/interpolation.hpp"

namespace tarnwick::grid {

inline double richardson(double coarse, double fine) { return fine + (fine - coarse) / 3.0; }

inline Local richardson(const Local& coarse, const Local& fine) {
    return {richardson(coarse.u, fine.u), richardson(coarse.ux, fine.ux), richardson(coarse.uxx, fine.uxx),
            richardson(coarse.uxxx, fine.uxxx), richardson(coarse.ut, fine.ut), false};
}

}  // namespace tarnwick::grid
