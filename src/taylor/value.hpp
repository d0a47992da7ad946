#pragma once

// The value of a plain number, beside the value parts of the derivative-carrying numbers
// (jet.hpp, dual.hpp): code written once for several number types reads values through it.

namespace tarnwick::taylor {

inline double value_of(double x) { return x; }

}  // namespace tarnwick::taylor
