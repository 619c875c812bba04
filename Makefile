# One entry point for setting up, building and testing quarnel.
#   make test   installs what is missing, builds, and runs every test suite
#   make run    runs the duplicate-phrase finder on the bundled sample document
#   make bench  runs the benchmarks against their peers
#   make wheel  builds the sdist and manylinux_2_17 wheels (x86-64, aarch64) for CPython 3.11-3.13
#   make fuzz   fuzzes every entry point for FUZZ_SECONDS (atheris)

VENV      := $(abspath .venv)
PY        := $(VENV)/bin/python
JOBS      ?= 2
CMAKE      = $(VENV)/bin/cmake
CTEST      = $(VENV)/bin/ctest

.PHONY: all test system venv install cpp-tests asan-tests py-tests wheel wheel-tests run bench \
        clean fuzz fuzz-smoke

all: install

test: install cpp-tests asan-tests py-tests fuzz-smoke wheel-tests

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

# Portable wheels: each is built from the sdist with Zig's toolchain against glibc 2.17, checked
# with auditwheel, then installed into a fresh environment (aarch64: under qemu-user) and tested.
wheel: system
	JOBS=$(JOBS) scripts/build-wheels.sh

wheel-tests: wheel
	scripts/test-wheels.sh

# The sample is named, so that a run without a terminal does not wait for standard input.
run: install
	$(PY) -m quarnel duplicates "$$($(PY) -c 'import quarnel, pathlib; print(pathlib.Path(quarnel.__file__).parent / "data" / "sample.txt")')"

bench: install
	$(PY) -m pip install -q pydivsufsort
	$(PY) bench/run_all.py

# Fuzzing: new corpus entries and any crash go to build/fuzz; tests/fuzz/corpus is the seed.
FUZZ_SECONDS ?= 600
FUZZ_DIR     := build/fuzz
FUZZ_RUN      = mkdir -p $(FUZZ_DIR)/corpus && $(PY) tests/fuzz/fuzz_entry_points.py \
                -artifact_prefix=$(FUZZ_DIR)/ -timeout=20 -rss_limit_mb=4096 \
                $(FUZZ_DIR)/corpus tests/fuzz/corpus

$(VENV)/.atheris: | $(VENV)/.ready
	$(PY) -m pip install -q atheris
	touch $@

fuzz: install $(VENV)/.atheris
	$(FUZZ_RUN) -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1

# A short run with a fixed seed, part of `make test`.
fuzz-smoke: install $(VENV)/.atheris
	@$(FUZZ_RUN) -seed=1 -runs=100000 -max_total_time=45 > $(FUZZ_DIR)/smoke.log 2>&1 \
	  || { tail -n 40 $(FUZZ_DIR)/smoke.log; exit 1; }
	@tail -n 1 $(FUZZ_DIR)/smoke.log

clean:
	rm -rf build dist $(VENV)
