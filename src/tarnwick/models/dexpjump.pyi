"""Kou's double-exponential jump-diffusion model: European calls and puts."""

import typing

# The metaclass that pybind11 gives every class it registers (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

class Option(metaclass=_pybind11_type):
    # Not constructible: pybind11's placeholder raises TypeError "No constructor defined!".
    def __init__(self, /, *args: typing.Any, **kwargs: typing.Any) -> None: ...

class EuropeanOption(Option):
    # Not constructible, as Option; the price is bound here once for the call and the put.
    def __init__(self, /, *args: typing.Any, **kwargs: typing.Any) -> None: ...
    def priceByKouJumpDiffusion(
        self,
        S: typing.SupportsFloat | typing.SupportsIndex,
        r: typing.SupportsFloat | typing.SupportsIndex,
        sigma: typing.SupportsFloat | typing.SupportsIndex,
        lam: typing.SupportsFloat | typing.SupportsIndex,
        p: typing.SupportsFloat | typing.SupportsIndex,
        eta1: typing.SupportsFloat | typing.SupportsIndex,
        eta2: typing.SupportsFloat | typing.SupportsIndex,
        # An integer or anything with __index__: the module refuses a float such as 10.0,
        # although its generated signature reads SupportsInt | SupportsIndex.
        n: typing.SupportsIndex,
    ) -> float: ...

# Maturity first, then strike; positional only.
class KouEuropeanCall(EuropeanOption):
    def __init__(
        self,
        T: typing.SupportsFloat | typing.SupportsIndex,
        K: typing.SupportsFloat | typing.SupportsIndex,
        /,
    ) -> None: ...

class KouEuropeanPut(EuropeanOption):
    def __init__(
        self,
        T: typing.SupportsFloat | typing.SupportsIndex,
        K: typing.SupportsFloat | typing.SupportsIndex,
        /,
    ) -> None: ...

def create_european_call(
    T: typing.SupportsFloat | typing.SupportsIndex,
    K: typing.SupportsFloat | typing.SupportsIndex,
) -> KouEuropeanCall: ...
def create_european_put(
    T: typing.SupportsFloat | typing.SupportsIndex,
    K: typing.SupportsFloat | typing.SupportsIndex,
) -> KouEuropeanPut: ...
