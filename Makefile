# One entry point for setting up, building and testing quarnel.
#   make test   installs what is missing, builds, and runs every test suite
#   make run    runs the duplicate-phrase finder on the bundled sample document
#   make bench  runs the benchmarks against their peers
#   make wheel  builds the sdist and manylinux wheels for CPython 3.11-3.13 into dist/

VENV      := $(abspath .venv)
PY        := $(VENV)/bin/python
JOBS      ?= 2
CMAKE      = $(VENV)/bin/cmake
CTEST      = $(VENV)/bin/ctest

.PHONY: all test system venv install cpp-tests asan-tests py-tests wheel wheel-tests run bench clean

all: install

test: install cpp-tests asan-tests py-tests wheel-tests

system:
	@scripts/ensure-system-packages.sh

$(VENV)/.ready: pyproject.toml | system
	"$$(scripts/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.11" "numpy>=2.0" pytest cmake ninja
	touch $@

venv: system $(VENV)/.ready

install: venv
	$(PY) -m pip install -q --no-build-isolation .

cpp-tests: venv
	$(CMAKE) -S . -B build/tests -G Ninja -DQUARNEL_BUILD_PYTHON=OFF -DQUARNEL_BUILD_TESTS=ON \
	  -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/tests -j $(JOBS)
	$(CTEST) --test-dir build/tests --output-on-failure -j $(JOBS)

asan-tests: venv
	$(CMAKE) -S . -B build/asan -G Ninja -DQUARNEL_BUILD_PYTHON=OFF -DQUARNEL_BUILD_TESTS=ON \
	  -DQUARNEL_SANITIZE=ON -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/asan -j $(JOBS)
	$(CTEST) --test-dir build/asan --output-on-failure -j $(JOBS)

py-tests: install
	$(PY) -m pytest -q tests/python

# Portable wheels: each is built from the sdist, repaired by auditwheel, then installed into a
# fresh environment and tested there with the system's copies of its libraries hidden.
wheel: system
	scripts/build-wheels.sh

wheel-tests: wheel
	scripts/test-wheels.sh

run: install
	$(PY) -m quarnel duplicates

bench: install
	$(PY) -m pip install -q pydivsufsort
	$(PY) bench/run_all.py

clean:
	rm -rf build dist $(VENV)
