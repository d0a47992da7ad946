"""Merton's lognormal jump-diffusion model: the European call."""

import typing

# The metaclass that pybind11 gives every class it registers (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

class MertonEuropeanCall(metaclass=_pybind11_type):
    # Strike first, then maturity (the reverse of dexpjump); positional only.
    def __init__(
        self,
        K: typing.SupportsFloat | typing.SupportsIndex,
        T: typing.SupportsFloat | typing.SupportsIndex,
        /,
    ) -> None: ...
    def JDAnalyticalPrice(
        self,
        S: typing.SupportsFloat | typing.SupportsIndex,
        sigma: typing.SupportsFloat | typing.SupportsIndex,
        r: typing.SupportsFloat | typing.SupportsIndex,
        lam: typing.SupportsFloat | typing.SupportsIndex,
        m: typing.SupportsFloat | typing.SupportsIndex,
        s: typing.SupportsFloat | typing.SupportsIndex,
        n: typing.SupportsFloat | typing.SupportsIndex,
    ) -> float: ...
