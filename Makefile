# vez_api: two commands on a fresh Debian 12 or 13 machine, as root:
#   make demo    build what is missing and show the SDK working
#   make test    build what is missing and run every test suite
# Both install missing Debian packages with apt-get and keep a virtualenv in
# .venv (made from /usr/bin/python3 with --system-site-packages).

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

SYSTEM_PYTHON := /usr/bin/python3
VENV          := .venv
PY            := $(VENV)/bin/python
B             := build
FUZZ_SECONDS  ?= 30

# Everything the build, the tests and the demo need, from Debian's archive.
# Only names that Debian 12 and 13 both have: libclang-rt-dev is the libFuzzer
# and sanitizer runtime of whichever clang is the release's default.
APT_PACKAGES := g++ clang libclang-rt-dev meson ninja-build pkg-config \
                python3 python3-dev python3-venv python3-mesonpy pybind11-dev \
                python3-serial python3-yaml python3-pydantic python3-pytest python3-mypy \
                python3-matplotlib python3-rich python3-distributed tmux googletest libgtest-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Sources that go into the wheel; the install is redone only when one changes.
PACKAGE_SOURCES := $(shell find src python twin emulator -type f 2>/dev/null) meson.build meson_options.txt pyproject.toml README.md LICENSE

# The package's extension modules, listed once (meson.build and the tests read it too).
STUBTEST_MODULES := $(addprefix vez_api.,$(shell cat src/modules/extension_modules.txt))

.PHONY: help deps venv install demo demo-basics virtual-demo test core-tests asan-tests fuzz fuzz-smoke pytest stubtest twin-tests twin-bench bench soak second-python second-python-checks clean FORCE

help:
	@echo "make demo   - build and run the demo"
	@echo "make test   - build and run all tests (GoogleTest, ASan/UBSan, fuzz smoke, pytest, stubs, twin, second Python)"
	@echo "make fuzz   - run the libFuzzer targets for FUZZ_SECONDS each (default 30)"
	@echo "make bench  - run the benchmarks"
	@echo "make soak   - the USB link for SOAK_MINUTES (default 10) under every fault"
	@echo "make second-python [SECOND_PYTHON=...] - pip-install and test the package for a second Python (part of make test)"

# --- dependencies -----------------------------------------------------------

deps:
	@missing=$$(for p in $(APT_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:" $$missing; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  $(SUDO) apt-get update -qq; \
	  $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(VENV)/.created: | deps
	$(SYSTEM_PYTHON) -m venv --system-site-packages $(VENV)
	touch $@

venv: $(VENV)/.created

# --- the package --------------------------------------------------------------

$(B)/.installed: $(PACKAGE_SOURCES) | $(VENV)/.created deps
	mkdir -p $(B)/pkg
	$(PY) -m pip install --quiet --no-index --no-build-isolation --no-deps \
	    --config-settings=builddir=$(B)/pkg .
	touch $@

install: $(B)/.installed

# --- C++ core: GoogleTest, sanitizers, fuzzers ------------------------------------

$(B)/core/build.ninja: | deps
	meson setup $(B)/core -Dpython_package=false -Dcore_tests=true

$(B)/asan/build.ninja: | deps
	meson setup $(B)/asan -Dpython_package=false -Dcore_tests=true \
	    -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debug

$(B)/fuzz/build.ninja: | deps
	CXX=clang++ meson setup $(B)/fuzz -Dpython_package=false -Dfuzz=true

$(B)/counts:
	mkdir -p $@

core-tests: $(B)/core/build.ninja | $(B)/counts
	ninja -C $(B)/core
	$(B)/core/core_tests --gtest_brief=1 | tee $(B)/counts/gtest.log
	@for r in $$(find $(B)/core -maxdepth 1 -type f -name 'replay_*' | sort); do t=$${r##*/replay_}; $$r tests/fuzz/corpus/$$t; done | tee $(B)/counts/replay.log

asan-tests: $(B)/asan/build.ninja | $(B)/counts
	ninja -C $(B)/asan
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(B)/asan/core_tests --gtest_brief=1 | tee $(B)/counts/asan.log
	@for r in $$(find $(B)/asan -maxdepth 1 -type f -name 'replay_*' | sort); do t=$${r##*/replay_}; $$r tests/fuzz/corpus/$$t; done

# Runs every fuzz target for FUZZ_SECONDS; new inputs land in build/fuzz-corpus,
# the checked-in corpus is only read.
fuzz: $(B)/fuzz/build.ninja | $(B)/counts
	ninja -C $(B)/fuzz
	@: > $(B)/counts/fuzz.log
	@for f in $$(find $(B)/fuzz -maxdepth 1 -type f -name 'fuzz_*' | sort); do t=$${f##*/fuzz_}; mkdir -p $(B)/fuzz-corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(B)/fuzz-corpus/$$t tests/fuzz/corpus/$$t \
	     2> $(B)/fuzz-corpus/$$t.log || { tail -40 $(B)/fuzz-corpus/$$t.log; exit 1; }; \
	  runs=$$(grep -o 'stat::number_of_executed_units: *[0-9]*' $(B)/fuzz-corpus/$$t.log | grep -o '[0-9]*$$'); \
	  echo "$$t $$runs" | tee -a $(B)/counts/fuzz.log; done

fuzz-smoke: FUZZ_SECONDS = 30
fuzz-smoke: fuzz

# --- Python ---------------------------------------------------------------------

pytest: $(B)/.installed | $(B)/counts
	@# The validation library the suite must find: the one Debian installed.
	$(PY) -c 'import pydantic; print("pydantic1" if str(pydantic.VERSION).startswith("1.") else "pydantic2")' > $(B)/counts/validation-backend.log
	cd tests/python && VEZ_TEST_VALIDATION_BACKEND=$$(cat ../../$(B)/counts/validation-backend.log) \
	    VEZ_API_REQUIRE_GLUE_SELFTEST=1 ../../$(PY) -m pytest -q -p no:cacheprovider | tee ../../$(B)/counts/pytest.log

stubtest: $(B)/.installed
	$(PY) -m mypy.stubtest --ignore-unused-allowlist --allowlist tests/stubtest_allowlist.txt $(STUBTEST_MODULES)

# --- reference digital twin -----------------------------------------------------------
# The model's GoogleTest (plain and under ASan/UBSan) and the ctypes tests of the
# simulation libraries, run against the package build's assets tree.

TWIN_ASSETS := $(CURDIR)/$(B)/pkg/twin

twin-tests: $(B)/.installed $(B)/core/build.ninja $(B)/asan/build.ninja | $(B)/counts
	ninja -C $(B)/core twin/twin_model_tests
	ninja -C $(B)/asan twin/twin_model_tests
	$(B)/core/twin/twin_model_tests --gtest_brief=1 | tee $(B)/counts/twin-gtest.log
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(B)/asan/twin/twin_model_tests --gtest_brief=1 | tee $(B)/counts/twin-asan.log
	cd tests/twin && VEZ_API_VIRTUAL_ASSETS_ROOT=$(TWIN_ASSETS) ../../$(PY) -m pytest -q -p no:cacheprovider | tee ../../$(B)/counts/twin-pytest.log

twin-bench: $(B)/core/build.ninja
	ninja -C $(B)/core
	$(B)/core/twin/twin_step_bench $(B)/core/twin/data/assets/actuators/digital_twin_libs_bindings

# --- a second interpreter, installed the standard way ------------------------------------
# The package built for another Python (3.13 beside a system 3.11, else 3.11;
# see tests/find_second_python.sh) through `python -m venv && pip install .`
# with build isolation: meson-python, meson and pybind11 come from the package
# index, and so do pyserial, PyYAML, pydantic and the test tools (the extras
# `all` and `test`). Then the Python suites, the stub check, the command line,
# an import of every module and the virtual actuator's demo run there.
# The validation library gets the other major version than the system's: a
# system with pydantic 1 (Debian 12) is matched with pydantic 2, one with
# pydantic 2 (Debian 13) with pydantic 1, so every run covers both (and both
# suites cover the case without pydantic).
# SECOND_PYTHON=/path/to/python picks the interpreter, SECOND_PYTHON=none skips this.

SECOND_PYTHON ?=
SECOND        := $(B)/second
SECOND_VENV   := $(SECOND)/venv
SECOND_PY     := $(SECOND_VENV)/bin/python

# The interpreter chosen, rewritten only when the choice changes (so that a
# new choice reinstalls); chosen after the Debian packages are in.
$(SECOND)/interpreter: FORCE | deps
	@mkdir -p $(SECOND)
	@choice='$(SECOND_PYTHON)'; [ -n "$$choice" ] || choice=$$(tests/find_second_python.sh $(SYSTEM_PYTHON)); \
	 echo "$$choice" | cmp -s - $@ || echo "$$choice" > $@

$(SECOND)/.installed: $(PACKAGE_SOURCES) $(SECOND)/interpreter
	rm -rf $(SECOND_VENV) $(SECOND)/pkg $@
	$$(cat $(SECOND)/interpreter) -m venv $(SECOND_VENV)
	@echo "Building and installing the package for $$($(SECOND_PY) -V) with pip (log: $(SECOND)/pip.log)"
	@# A fresh build directory that is kept: the glue's test module is built there too.
	@$(SECOND_PY) -m pip install --config-settings=builddir=$(SECOND)/pkg ".[all,test]" > $(SECOND)/pip.log 2>&1 \
	   || { tail -60 $(SECOND)/pip.log; exit 1; }
	@if $(SYSTEM_PYTHON) -c 'import pydantic, sys; sys.exit(str(pydantic.VERSION).startswith("1."))' 2>/dev/null; then \
	   echo "The system has pydantic 2: pydantic 1 for $(SECOND_VENV)"; \
	   $(SECOND_PY) -m pip install "pydantic>=1.10,<2" >> $(SECOND)/pip.log 2>&1 || { tail -30 $(SECOND)/pip.log; exit 1; }; \
	   echo pydantic1 > $(SECOND)/validation_backend; \
	 else echo pydantic2 > $(SECOND)/validation_backend; fi
	touch $@

second-python: $(SECOND)/interpreter | $(B)/counts
	@rm -f $(B)/counts/second-*
	@if [ "$$(cat $<)" = none ]; then echo "second interpreter: skipped (SECOND_PYTHON=none)"; \
	 else $(MAKE) --no-print-directory second-python-checks; fi

second-python-checks: $(SECOND)/.installed | $(B)/counts
	$(SECOND_PY) -c 'import sys, pydantic; print(sys.version.split()[0], "pydantic", pydantic.VERSION)' | tee $(B)/counts/second-python.log
	cd tests/python && VEZ_TEST_VALIDATION_BACKEND=$$(cat ../../$(SECOND)/validation_backend) \
	    VEZ_API_GLUE_SELFTEST_DIR=../../$(SECOND)/pkg/tests/glue VEZ_API_REQUIRE_GLUE_SELFTEST=1 \
	    ../../$(SECOND_PY) -m pytest -q -p no:cacheprovider | tee ../../$(B)/counts/second-pytest.log
	cd tests/twin && VEZ_API_VIRTUAL_ASSETS_ROOT=$$(../../$(SECOND_PY) -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])') \
	    ../../$(SECOND_PY) -m pytest -q -p no:cacheprovider | tee ../../$(B)/counts/second-twin-pytest.log
	$(SECOND_PY) -m mypy.stubtest --ignore-unused-allowlist --allowlist tests/stubtest_allowlist.txt $(STUBTEST_MODULES)
	$(SECOND_VENV)/bin/doroze --version
	$(SECOND_PY) -c 'import importlib, sys; [importlib.import_module(m) for m in sys.argv[1:]]; print(len(sys.argv) - 1, "modules imported")' \
	    $(STUBTEST_MODULES)
	$(SECOND_PY) examples/virtual_step_response.py $(SECOND)/virtual_step_response.png

# --- entry points -------------------------------------------------------------------

test: core-tests asan-tests fuzz-smoke stubtest pytest twin-tests second-python
	@$(SYSTEM_PYTHON) tests/summarize_counts.py $(B)/counts

# The main job: the bus emulator with three actuators, the doroze command line
# against it, a Python session streaming feedback during a move, and the
# virtual actuator's step response plotted.
demo: $(B)/.installed
	examples/demo.sh $(VENV)

# The building blocks on their own: a frame through the deframer, the USB link
# on a bare pseudo-terminal.
demo-basics: $(B)/.installed $(B)/core/build.ninja
	ninja -C $(B)/core frame_demo
	$(B)/core/frame_demo
	$(PY) examples/usb_demo.py

# A position step response of a simulated actuator with a load disturbance,
# plotted to build/virtual_step_response.png (the path is printed).
virtual-demo: $(B)/.installed
	$(PY) examples/virtual_step_response.py

# Every benchmark runs even when one fails; the failed ones are named at the
# end and make the target fail.
bench: twin-bench $(B)/.installed
	@failed=(); for b in $(filter-out %_soak.py,$(wildcard bench/*.py)); do \
	   echo; echo "=== $$b"; \
	   $(PY) $$b || { echo "*** $$b failed (exit $$?)"; failed+=("$$b"); }; \
	 done; \
	 if [ $${#failed[@]} -gt 0 ]; then echo; echo "benchmarks failed: $${failed[*]}"; exit 1; fi; \
	 echo; echo "all benchmarks ran"

# The USB link for SOAK_MINUTES under every fault the emulator injects (not
# part of `make bench`).
SOAK_MINUTES ?= 10
soak: $(B)/.installed
	$(PY) bench/link_soak.py --minutes $(SOAK_MINUTES)

clean:
	rm -rf $(B) $(VENV)
