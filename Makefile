# Two entry points for a newcomer: `make demo` and `make test`. Both create .venv with
# CPython 3.9 when it is missing, then build and install the package into it.
PYTHON39 ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.9.*/bin/python3.9) $(shell command -v python3.9))
# Another interpreter gets a venv of its own: make test PYTHON=python3.13 VENV=.venv-3.13
PYTHON ?= $(PYTHON39)
VENV ?= .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native

.PHONY: demo test test-python test-native install install-test bench clean

$(PY):
	@test -n "$(PYTHON)" || { echo "CPython 3.9 not found; set PYTHON=/path/to/python3.9" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet .

install-test: $(PY)
	$(PY) -m pip install --quiet '.[test]'

demo: install
	$(PY) -m tarnwick

test: install-test
	$(MAKE) test-native test-python

test-native:
	$(VENV)/bin/cmake -S tests/native -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure

test-python:
	$(PY) -m pytest

# Not part of `make test`: timings print numbers, they do not pass or fail. The bench
# extra brings QuantLib, the engine that bench/bench.py compares the Merton prices with.
bench: $(PY)
	$(PY) -m pip install --quiet '.[bench]'
	$(VENV)/bin/cmake -S bench -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/bench
	build/bench/upsilon_bench
	$(PY) bench/bench.py --build-dir build/bench

clean:
	rm -rf build $(VENV)
