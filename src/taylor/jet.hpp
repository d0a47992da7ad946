#pragma once

// Truncated multivariate Taylor polynomials ("jets"): a value together with its partial
// derivatives up to total degree D in V variables, carried exactly through arithmetic and
// the elementary functions. Closed-form prices are differentiated this way: one
// evaluation on jets gives the price with its Greeks or its parameter derivatives, each to
// the accuracy of the price itself, where finite differences would lose half the digits
// and hand-written derivatives of a long formula invite mistakes.
//
// A jet stores the Taylor coefficients c_a of the monomials x^a = x_1^a_1 ... x_V^a_V,
// |a| <= D, so the partial derivative d^a f is c_a times a_1! ... a_V!. Products are
// products of polynomials truncated at degree D; a function f of a jet x = x0 + h (h
// without constant term, hence nilpotent of order D + 1) is the finite sum
// f(x0) + f'(x0) h + f''(x0) h^2 / 2 + ... + f^(D)(x0) h^D / D!.

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "taylor/value.hpp"

namespace tarnwick::taylor {

namespace jet_detail {

constexpr int binomial(int n, int k) {
    int result = 1;
    for (int i = 1; i <= k; ++i) result = result * (n - k + i) / i;
    return result;
}

// The monomials of degree <= D in V variables, by increasing degree, and the table of
// their products that stay within degree D.
template <int V, int D>
struct Monomials {
    static constexpr int count = binomial(V + D, D);
    std::array<std::array<int, V>, count> exponent{};
    std::array<int, count> degree{};

    constexpr Monomials() {
        int next = 0;
        for (int d = 0; d <= D; ++d) {
            // Every exponent vector with sum d, as an odometer over the first V - 1 places.
            std::array<int, V> a{};
            a[V - 1] = d;
            while (true) {
                exponent[next] = a;
                degree[next] = d;
                ++next;
                // Move one unit towards the front: the next composition of d.
                int i = V - 1;
                while (i > 0 && a[i] == 0) --i;
                if (i == 0) break;
                const int moved = a[i];
                a[i] = 0;
                a[i - 1] += 1;
                a[V - 1] = moved - 1;
            }
        }
    }

    constexpr int index(const std::array<int, V>& a) const {
        for (int i = 0; i < count; ++i) {
            bool same = true;
            for (int v = 0; v < V; ++v) same = same && exponent[i][v] == a[v];
            if (same) return i;
        }
        return -1;
    }
};

template <int V, int D>
struct ProductTable {
    static constexpr Monomials<V, D> monomials{};
    static constexpr int count_pairs() {
        int n = 0;
        for (int i = 0; i < monomials.count; ++i)
            for (int j = 0; j < monomials.count; ++j)
                if (monomials.degree[i] + monomials.degree[j] <= D) ++n;
        return n;
    }
    static constexpr int pairs = count_pairs();
    std::array<int, pairs> left{}, right{}, target{};

    constexpr ProductTable() {
        int n = 0;
        for (int i = 0; i < monomials.count; ++i)
            for (int j = 0; j < monomials.count; ++j) {
                if (monomials.degree[i] + monomials.degree[j] > D) continue;
                std::array<int, V> sum{};
                for (int v = 0; v < V; ++v) sum[v] = monomials.exponent[i][v] + monomials.exponent[j][v];
                left[n] = i;
                right[n] = j;
                target[n] = monomials.index(sum);
                ++n;
            }
    }
};

}  // namespace jet_detail

template <int V, int D>
class Jet {
  public:
    static constexpr int size = jet_detail::binomial(V + D, D);
    static constexpr int variables = V;
    static constexpr int degree = D;

    constexpr Jet() : c{} {}
    constexpr Jet(double value) : c{} { c[0] = value; }  // NOLINT: constants mix freely

    // The variable number v (0-based) at the point x.
    static Jet variable(double x, int v) {
        Jet j(x);
        if constexpr (D >= 1) {
            std::array<int, V> unit{};
            unit[v] = 1;
            j.c[monomials().index(unit)] = 1.0;
        }
        return j;
    }

    double value() const { return c[0]; }
    // The first derivative in variable v.
    double partial(int v) const {
        std::array<int, V> unit{};
        unit[v] = 1;
        return c[monomials().index(unit)];
    }
    double coefficient(int i) const { return c[i]; }
    double& coefficient(int i) { return c[i]; }

    // The partial derivative d^a f, a given by its exponents (zero beyond degree D).
    double derivative(const std::array<int, V>& a) const {
        const int i = monomials().index(a);
        if (i < 0) return 0.0;
        double factorials = 1.0;
        for (int v = 0; v < V; ++v)
            for (int m = 2; m <= a[v]; ++m) factorials *= m;
        return c[i] * factorials;
    }

    Jet operator-() const {
        Jet r;
        for (int i = 0; i < size; ++i) r.c[i] = -c[i];
        return r;
    }
    Jet& operator+=(const Jet& o) {
        for (int i = 0; i < size; ++i) c[i] += o.c[i];
        return *this;
    }
    Jet& operator-=(const Jet& o) {
        for (int i = 0; i < size; ++i) c[i] -= o.c[i];
        return *this;
    }
    Jet& operator*=(double s) {
        for (int i = 0; i < size; ++i) c[i] *= s;
        return *this;
    }
    Jet& operator+=(double s) {
        c[0] += s;
        return *this;
    }

    friend Jet operator+(Jet a, const Jet& b) { return a += b; }
    friend Jet operator-(Jet a, const Jet& b) { return a -= b; }
    friend Jet operator+(Jet a, double b) { return a += b; }
    friend Jet operator+(double a, Jet b) { return b += a; }
    friend Jet operator-(Jet a, double b) { return a += -b; }
    friend Jet operator-(double a, const Jet& b) { return -b + a; }
    friend Jet operator*(Jet a, double b) { return a *= b; }
    friend Jet operator*(double a, Jet b) { return b *= a; }
    friend Jet operator/(Jet a, double b) { return a *= 1.0 / b; }

    // Unrolled at compile time over the product table, so that every index is a constant
    // and the coefficients stay in registers (a loop over the table costs several times more).
    friend Jet operator*(const Jet& a, const Jet& b) {
        return multiply(a, b, std::make_index_sequence<jet_detail::ProductTable<V, D>::pairs>{});
    }
    Jet& operator*=(const Jet& o) { return *this = *this * o; }

    // f(x) from the derivatives f^(n)(x0) / n!, n = 0 ... D, at the jet's value x0.
    Jet compose(const std::array<double, D + 1>& taylor) const {
        Jet h = *this;
        h.c[0] = 0.0;
        Jet r(taylor[D]);
        for (int n = D - 1; n >= 0; --n) r = r * h + taylor[n];
        return r;
    }

    friend Jet operator/(const Jet& a, const Jet& b) { return a * reciprocal(b); }
    friend Jet operator/(double a, const Jet& b) { return reciprocal(b) * a; }

    friend Jet reciprocal(const Jet& x) {
        const double inverse = 1.0 / x.c[0];
        std::array<double, D + 1> t{};
        double term = inverse;
        for (int n = 0; n <= D; ++n, term *= -inverse) t[n] = term;
        return x.compose(t);
    }

    // Comparisons look at the value only: branches of a formula are chosen by the point.
    friend bool operator<(const Jet& a, double b) { return a.c[0] < b; }
    friend bool operator>(const Jet& a, double b) { return a.c[0] > b; }
    friend bool operator<=(const Jet& a, double b) { return a.c[0] <= b; }
    friend bool operator>=(const Jet& a, double b) { return a.c[0] >= b; }

  private:
    static constexpr jet_detail::ProductTable<V, D> table{};
    static constexpr const jet_detail::Monomials<V, D>& monomials() { return table.monomials; }

    template <std::size_t... I>
    static Jet multiply(const Jet& a, const Jet& b, std::index_sequence<I...>) {
        Jet r;
        ((r.c[table.target[I]] += a.c[table.left[I]] * b.c[table.right[I]]), ...);
        return r;
    }

    double c[size];
};

// The value of a jet (of a double: value.hpp), for branches and bounds in generic code.
template <int V, int D>
double value_of(const Jet<V, D>& x) {
    return x.value();
}

template <int V, int D>
Jet<V, D> exp(const Jet<V, D>& x) {
    const double e = std::exp(x.value());
    std::array<double, D + 1> t{};
    double inverse_factorial = 1.0;
    for (int n = 0; n <= D; ++n) {
        t[n] = e * inverse_factorial;
        inverse_factorial /= n + 1;
    }
    return x.compose(t);
}

// exp(x) - 1: the value without cancellation near 0, the derivatives those of exp.
template <int V, int D>
Jet<V, D> expm1(const Jet<V, D>& x) {
    Jet<V, D> r = exp(x);
    r.coefficient(0) = std::expm1(x.value());
    return r;
}

template <int V, int D>
Jet<V, D> log(const Jet<V, D>& x) {
    const double inverse = 1.0 / x.value();
    std::array<double, D + 1> t{};
    t[0] = std::log(x.value());
    double power = inverse;
    for (int n = 1; n <= D; ++n, power *= -inverse) t[n] = power / n;  // (-1)^(n-1) / (n x^n)
    return x.compose(t);
}

template <int V, int D>
Jet<V, D> sqrt(const Jet<V, D>& x) {
    // d^n/dx^n x^(1/2) / n! = binomial(1/2, n) x^(1/2 - n).
    const double root = std::sqrt(x.value());
    std::array<double, D + 1> t{};
    double coefficient = 1.0;
    double power = root;
    for (int n = 0; n <= D; ++n) {
        t[n] = coefficient * power;
        coefficient *= (0.5 - n) / (n + 1);
        power /= x.value();
    }
    return x.compose(t);
}

}  // namespace tarnwick::taylor
