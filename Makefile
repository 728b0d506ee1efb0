# Set-up and the two entry points. Both targets are idempotent: they create .venv on the first
# run, install the build and runtime dependencies from PyPI, and rebuild the extension modules
# incrementally (build/ keeps the CMake tree between runs).
SHELL  := /bin/bash
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed
TEST_DEPS := $(VENV)/.test-deps-installed
BENCH_DEPS := $(VENV)/.bench-deps-installed

.PHONY: run test install bench lint format sanitize clean stubs test-cpp typecheck

run: install
	$(BIN)/python -m ostrelpy $(ARGS)

test: install $(TEST_DEPS)
	$(BIN)/python -m pytest $(PYTEST_ARGS)

bench: install $(BENCH_DEPS)
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(BIN)/python $$b || exit 1; done

# The build prints ninja's [done/total] lines so that the first build (about two minutes)
# shows its progress; the full log stays in build/install.log and is shown on failure.
install: $(DEPS)
	@echo "Building the C++ extension modules (first build about two minutes; later only what changed)"
	@set -o pipefail; mkdir -p build; \
	if ! $(BIN)/pip install -v --no-build-isolation --no-deps --editable . 2>&1 \
	    | tee build/install.log | { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' || true; }; then \
	  tail -n 40 build/install.log; echo "build failed; full log in build/install.log"; exit 1; \
	fi

$(DEPS): pyproject.toml
	@echo "Setting up $(VENV): dependencies from PyPI (first run only)"
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/pip install --quiet --upgrade pip
	$(BIN)/pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja clang-format ruff
	@# Only the dependencies here: the package itself is built by `install`, with progress.
	$(BIN)/python -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	  x = p["optional-dependencies"]; print("\n".join(p["dependencies"] + x["plot"] + x["fleet"]))' \
	  > $(VENV)/requirements.txt
	$(BIN)/pip install --quiet -r $(VENV)/requirements.txt
	touch $(DEPS)

# What the tests and the type checker need besides (the cross-checking peers, the solvers'
# free licences), on the first `make test` only: `make run` does without them.
$(TEST_DEPS): pyproject.toml $(DEPS)
	$(BIN)/python -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	  print("\n".join(p["optional-dependencies"]["test"]))' > $(VENV)/requirements-test.txt
	$(BIN)/pip install --quiet -r $(VENV)/requirements-test.txt
	touch $(TEST_DEPS)

# The peers the benchmarks compare against (linopy); never a runtime dependency.
$(BENCH_DEPS): pyproject.toml $(DEPS)
	$(BIN)/pip install --quiet --no-build-isolation --editable ".[bench]"
	touch $(BENCH_DEPS)

# Formatting and lint of C++ (clang-format) and Python (ruff); `make format` rewrites in place.
CXX_SOURCES = $(shell find native tests/cpp -name '*.cpp' -o -name '*.hpp')

lint: $(DEPS)
	@$(BIN)/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(BIN)/ruff format --check --quiet .
	$(BIN)/ruff check --quiet .

format: $(DEPS)
	$(BIN)/clang-format -i $(CXX_SOURCES)
	$(BIN)/ruff check --quiet --fix .
	$(BIN)/ruff format --quiet .

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# venv and build folder of its own (the host interpreter is not instrumented, so the runtimes
# are preloaded; leaks of the interpreter itself are not ours to report).
SAN_VENV := .venv-sanitize
SAN_BIN  := $(SAN_VENV)/bin
SAN_ENV  := OSTREL_SANITIZE=1 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libstdc++.so)"

sanitize: $(DEPS)
	test -x $(SAN_BIN)/python || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_BIN)/pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	$(SAN_BIN)/pip install --quiet --no-build-isolation -Cbuild-dir=build/sanitize \
	  -Ccmake.define.OSTREL_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo ".[test,plot,fleet]"
	cd tests && $(SAN_ENV) ../$(SAN_BIN)/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV) $(SAN_VENV)

# The package under a strict type checker (settings in pyproject.toml), stubs included.
typecheck: $(TEST_DEPS)
	$(BIN)/mypy

# Type stubs of the extension modules (committed; CI fails when they are stale).
STUBS = src/ostrelpy/bindings/*.pyi

stubs: install
	$(BIN)/python tools/stubs.py
	$(BIN)/ruff check --quiet --fix $(STUBS)
	$(BIN)/ruff format --quiet $(STUBS)

# The core's GoogleTest suite, built without Python (needs libgtest-dev).
CPP_BUILD := build/cpp-tests

test-cpp: $(DEPS)
	$(BIN)/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DOSTREL_BINDINGS=OFF -DOSTREL_TESTS=ON $(CMAKE_ARGS)
	$(BIN)/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(BIN))/ctest --output-on-failure
