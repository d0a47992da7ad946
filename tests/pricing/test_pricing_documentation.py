"""The examples in the public docstrings run and print what they say, and help() shows them."""

import doctest
import pydoc

import pytest

import tarnwick as tw
from tarnwick import _api, _boundary, _calibrate, _implied_volatility, _models

PUBLIC = [tw.price, tw.greeks, tw.sensitivities, tw.Greeks, tw.Kou, tw.Merton, tw.BlackScholes,
          tw.Kou.replace, tw.exercise_boundary, tw.plot_exercise_boundary]


@pytest.mark.parametrize("module", [tw, _api, _boundary, _models, _calibrate, _implied_volatility])
def test_docstring_examples(module):
    failed, attempted = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert attempted > 0 and failed == 0


@pytest.mark.parametrize("obj", PUBLIC, ids=lambda o: o.__qualname__)
def test_help_shows_an_example(obj):
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    assert "Examples" in text and ">>>" in text
