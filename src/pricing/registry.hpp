#pragma once

// The models of the pricing API, registered once: a model's code is its index in
// `Registered`, and its parameter count, its construction from a parameter array and the
// dispatch of a batch to it all follow from the type. Adding a model is a header in
// charfun/ (its log-MGF, or a Lévy exponent wrapped in charfun::Levy) and one entry here.

#include <array>
#include <cstddef>
#include <utility>

#include "charfun/black_scholes.hpp"
#include "charfun/kou.hpp"
#include "charfun/levy.hpp"
#include "charfun/merton.hpp"
#include "charfun/stochastic_volatility.hpp"

namespace tarnwick::pricing {

template <class... Models>
struct ModelList {
    static constexpr std::size_t size = sizeof...(Models);
    static constexpr std::array<const char*, size> names{Models::name...};
    static constexpr std::array<int, size> parameter_counts{Models::parameter_count...};
};

// In the order of the model codes.
using Registered = ModelList<charfun::Levy<charfun::BlackScholes>, charfun::Levy<charfun::Kou>,
                             charfun::Levy<charfun::Merton>, charfun::Heston, charfun::Bates, charfun::HestonKou>;

inline bool known_model(int code) { return code >= 0 && static_cast<std::size_t>(code) < Registered::size; }

// Parameters of the model with this code; the code must be known.
inline int parameter_count(int code) { return Registered::parameter_counts[static_cast<std::size_t>(code)]; }

namespace registry_detail {
template <class F, class... Models, std::size_t... I>
void dispatch(ModelList<Models...>, std::index_sequence<I...>, int code, const double* parameters, F&& f) {
    // Exactly one index matches a known code; the fold stops there.
    (void)((static_cast<int>(I) == code ? (f(Models::from_parameters(parameters)), true) : false) || ...);
}
}  // namespace registry_detail

// f(model) with the model of this code built from its parameters (in the model's order).
template <class F>
void with_model(int code, const double* parameters, F&& f) {
    registry_detail::dispatch(Registered{}, std::make_index_sequence<Registered::size>{}, code, parameters,
                              std::forward<F>(f));
}

}  // namespace tarnwick::pricing
