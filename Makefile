# Set-up and the two entry points. Both targets are idempotent: they create .venv on the first
# run, install the build and runtime dependencies from PyPI, and rebuild the extension modules
# incrementally (build/ keeps the CMake tree between runs).
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed

.PHONY: run test install bench lint format clean

run: install
	$(BIN)/python -m ostrelpy $(ARGS)

test: install
	$(BIN)/python -m pytest $(PYTEST_ARGS)

bench: install
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(BIN)/python $$b || exit 1; done

install: $(DEPS)
	$(BIN)/pip install --quiet --no-build-isolation --no-deps --editable .

$(DEPS): pyproject.toml
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/pip install --quiet --upgrade pip
	$(BIN)/pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja clang-format ruff
	$(BIN)/pip install --quiet --no-build-isolation --editable ".[test,plot]"
	touch $(DEPS)

# Formatting and lint of C++ (clang-format) and Python (ruff); `make format` rewrites in place.
CXX_SOURCES = $(shell find native -name '*.cpp' -o -name '*.hpp')

lint: $(DEPS)
	@$(BIN)/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(BIN)/ruff format --check --quiet .
	$(BIN)/ruff check --quiet .

format: $(DEPS)
	$(BIN)/clang-format -i $(CXX_SOURCES)
	$(BIN)/ruff format --quiet .
	$(BIN)/ruff check --quiet --fix .

clean:
	rm -rf build $(VENV)
