"""The Python-side Black formula against the native closed form: prices of both kinds from
their own tails, and vega, far into the wings."""

import numpy as np
import pytest

import tarnwick as tw
from tarnwick._black import black_price, black_vega

S = 100.0
K = S * np.exp(np.linspace(-4.0, 4.0, 41))


@pytest.mark.parametrize("sigma, T", [(0.05, 1 / 52), (0.2, 0.5), (0.8, 5.0), (2.0, 30.0)])
@pytest.mark.parametrize("kind", ["call", "put"])
def test_prices_and_vega_agree_with_the_native_closed_form(sigma, T, kind):
    r, q = 0.04, 0.01
    native = tw.greeks(tw.BlackScholes(sigma), S, K, T, r, q, kind)
    for ours, theirs in ((black_price(sigma, S, K, T, r, q, kind == "call"), native.price),
                         (black_vega(sigma, S, K, T, r, q), native.vega)):
        np.testing.assert_allclose(ours, theirs, rtol=1e-13, atol=1e-13 * S)
        # Out of the money down to 1e-179 of S, where parity would leave rounding noise:
        # relative agreement, within the d^2 eps that rounding ln(K/F) costs at |d| ~ 100.
        tail = np.abs(theirs) > 1e-290
        np.testing.assert_allclose(ours[tail], theirs[tail], rtol=1e-8)
