# `make test` and `make demo` work on a fresh machine with only Python 3.10+ and a C++
# compiler: they create .venv, install the build and runtime dependencies, build the
# extension modules (incrementally, in build/) and run.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed

.PHONY: build test demo bench lint clean

$(STAMP): pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" ninja cmake
	$(PY) -m pip install --quiet numpy "pandas>=2.2" pyarrow matplotlib httpx tqdm pytest ruff
	touch $(STAMP)

build: $(STAMP)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

test: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) -m orvanta demo

bench: build
	for f in benchmarks/bench_*.py; do $(PY) $$f || exit 1; done

lint: $(STAMP)
	$(VENV)/bin/ruff check src tests benchmarks
	$(VENV)/bin/ruff format --check src tests benchmarks

clean:
	rm -rf build $(VENV)
