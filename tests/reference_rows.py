"""Rows of a stored reference grid (tests/references/*.csv) as pytest parameters: a quarter
of the grid in the default run, the rest under the slow marker."""

import csv
import os

import pytest

DIRECTORY = os.path.join(os.path.dirname(__file__), "references")


def grid_params(*filenames):
    params = []
    for filename in filenames:
        with open(os.path.join(DIRECTORY, filename)) as f:
            rows = list(csv.DictReader(f))
        stem = filename.rsplit(".", 1)[0]
        params += [pytest.param(row, id=f"{stem}-row{i}", marks=() if i % 4 == 0 else pytest.mark.slow)
                   for i, row in enumerate(rows)]
    return params
