#pragma once

// Complex dual numbers: a complex value with its first derivatives in N variables, carried
// through arithmetic and the few elementary functions a characteristic function needs.
// A formula written once as a template over its number type then gives its value (on
// std::complex<double>) and its gradient (on Dual<N>) from the same lines: hand-written
// derivatives of a long, carefully arranged formula would have to repeat each of its
// arrangements, and finite differences would lose half the digits.

#include <array>
#include <cmath>
#include <complex>

#include "charfun/complex_expm1.hpp"
#include "taylor/value.hpp"

namespace tarnwick::taylor {

using complex = std::complex<double>;

// 1 / z as conj(z) / |z|^2: a real division instead of the library's complex one, which
// guards against infinities that do not occur here at several times the cost.
inline complex inverse(complex z) { return std::conj(z) / std::norm(z); }

// a b as the schoolbook product: the same bits as std::complex's where it is finite, without
// its test of every product for NaN parts to recover infinities (a dozen instructions of
// each product where the extension's -fcx-fortran-rules is not set, as in the native
// tests). With that flag a lone product compiles the same either way, yet the Riccati
// solution and the Greeks' integrands written with std::complex's operator count 2.6 % more
// instructions in the pricing extension (one option's price and Greeks, Kou and the three
// stochastic-volatility models), the compiler inlining them otherwise. Where a product is
// not finite, the result that uses it is not finite either way.
inline complex times(complex a, complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
// The same name for the other number types, so that a formula over several (charfun/heston.hpp)
// reads once: their own product.
template <class A, class B>
auto times(const A& a, const B& b) {
    return a * b;
}

template <int N>
struct Dual {
    complex value;
    std::array<complex, N> d{};

    Dual(complex v = 0.0) : value(v) {}
    // The variable number i with value v.
    static Dual variable(complex v, int i) {
        Dual x(v);
        x.d[i] = 1.0;
        return x;
    }
};

// The value of a number: itself for a complex (a double: value.hpp), the value part of a
// dual.
inline complex value_of(complex z) { return z; }
template <int N>
complex value_of(const Dual<N>& z) {
    return z.value;
}

// f(z) for a dual z given f(z.value) and f'(z.value): the chain rule.
template <int N>
Dual<N> chain(const Dual<N>& z, complex f, complex slope) {
    Dual<N> r(f);
    for (int i = 0; i < N; ++i) r.d[i] = slope * z.d[i];
    return r;
}

template <int N>
Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.value + b.value);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
    return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.value - b.value);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
    return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a) {
    return chain(a, -a.value, -1.0);
}
template <int N>
Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.value * b.value);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b.value + a.value * b.d[i];
    return r;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
    const complex inv = inverse(b.value);
    const complex q = a.value * inv;
    Dual<N> r(q);
    for (int i = 0; i < N; ++i) r.d[i] = (a.d[i] - q * b.d[i]) * inv;
    return r;
}
// With a constant on one side.
template <int N>
Dual<N> operator+(const Dual<N>& a, complex c) {
    return chain(a, a.value + c, 1.0);
}
template <int N>
Dual<N> operator+(complex c, const Dual<N>& a) {
    return a + c;
}
template <int N>
Dual<N> operator-(const Dual<N>& a, complex c) {
    return chain(a, a.value - c, 1.0);
}
template <int N>
Dual<N> operator-(complex c, const Dual<N>& a) {
    return chain(a, c - a.value, -1.0);
}
template <int N>
Dual<N> operator*(const Dual<N>& a, complex c) {
    return chain(a, a.value * c, c);
}
template <int N>
Dual<N> operator*(complex c, const Dual<N>& a) {
    return a * c;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, complex c) {
    const complex inv = inverse(c);
    return chain(a, a.value * inv, inv);
}
template <int N>
Dual<N> operator/(complex c, const Dual<N>& a) {
    const complex inv = inverse(a.value);
    const complex q = c * inv;
    return chain(a, q, -q * inv);
}

template <int N>
Dual<N> sqrt(const Dual<N>& z) {
    const complex s = std::sqrt(z.value);
    return chain(z, s, 0.5 * inverse(s));
}
template <int N>
Dual<N> exp(const Dual<N>& z) {
    const complex e = std::exp(z.value);
    return chain(z, e, e);
}
template <int N>
Dual<N> expm1(const Dual<N>& z) {
    return chain(z, charfun::expm1(z.value), std::exp(z.value));
}

}  // namespace tarnwick::taylor
