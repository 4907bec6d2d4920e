# Set-up, build, tests and demo, all inside the project's virtual environment .venv, made from
# $(PYTHON). `make test` and `make demo` set up what they need first.
PYTHON ?= python3
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
PIP := $(VENV_PYTHON) -m pip --disable-pip-version-check
# python3-dev: Debian's interpreter ships its headers apart; python3-venv: its `venv` needs it.
DEBIAN_PACKAGES := make g++ python3-dev python3-venv libtomlplusplus-dev nlohmann-json3-dev valgrind
# Python packages, by what needs them: the build (scikit-build-core, cmake, ninja) and what the
# demo runs (numpy and onnx write the examples' models and samples; the pre-flight decodes
# calibration images with pillow) come with every target; the tests' runner and the tools they
# drive (the wheel's build among them; onnxruntime and matplotlib for `check --run` and `--report`;
# Ray for the batches on a local Ray instance) only with `make test`; the packaging tools with
# `make dist`.
BUILD_PACKAGES := scikit-build-core cmake ninja numpy pillow onnx
TEST_PACKAGES := pytest jsonschema hypothesis taplo tombi nbclient nbformat ipykernel pre-commit build \
  onnxruntime matplotlib ray
# The tests open the page of `check --report` in a headless browser.
TEST_DEBIAN_PACKAGES := chromium
DIST_PACKAGES := build twine

.PHONY: deps install test demo dist sanitize fuzz bench clean

# CMake's builds (the pip installs and the wheels included) run two jobs at a time, not ninja's
# one per core plus two.
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

# Installs those of the Debian packages $(1) that are missing (through sudo unless run as root).
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	  $$sudo apt-get update -qq && $$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

# Makes $(1) a virtual environment of $(PYTHON), never with the system's site-packages. One made
# from another interpreter (or another version of it) is made anew, and its build directory $(2)
# removed with it, since CMake caches the interpreter it found there.
define make_venv
	@base="$$($(PYTHON) -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version.split()[0])')" \
	  || { echo "$(PYTHON) does not run; set PYTHON to a Python 3.11 or later"; exit 1; }; \
	if [ ! -x $(1)/bin/python ] || [ "$$(cat $(1)/.made-from 2>/dev/null)" != "$$base" ]; then \
	  echo "making $(1) from $$base"; rm -rf $(1) $(2); \
	  $(PYTHON) -m venv $(1) && echo "$$base" > $(1)/.made-from || exit 1; \
	fi
endef

# Installs the Python packages $(3) into the virtual environment $(1) unless the stamp $(1)/$(2)
# says that this very list is installed already.
define pip_install
	@if [ "$$(cat $(1)/$(2) 2>/dev/null)" != "$(strip $(3))" ]; then \
	  echo "installing into $(1): $(strip $(3))"; \
	  $(1)/bin/python -m pip install --quiet --disable-pip-version-check $(3) \
	    && echo "$(strip $(3))" > $(1)/$(2); \
	fi
endef

deps:
	$(call apt_install,$(DEBIAN_PACKAGES))
	$(call make_venv,$(VENV),build/venv)
	$(call pip_install,$(VENV),.packages,$(BUILD_PACKAGES))

install: deps
	$(PIP) install --quiet --no-build-isolation --no-deps --config-settings=build-dir=build/venv $(INSTALL_FLAGS) .

# The suite needs the test-only hooks module, which a plain install (and the wheel) leaves out:
# it is built only on request and installed only with its own component.
TEST_HOOKS_FLAGS := --config-settings=cmake.define.QARV_TEST_HOOKS=ON "--config-settings=install.components=package;test_hooks"
test: INSTALL_FLAGS = $(TEST_HOOKS_FLAGS)
test: install
	$(call apt_install,$(TEST_DEBIAN_PACKAGES))
	$(call pip_install,$(VENV),.test-packages,$(TEST_PACKAGES))
	QARV_WHEEL_BUILD_DIR=$(CURDIR)/build/venv $(VENV_PYTHON) -m pytest -q tests

# The demo toolkit in standin/ is put on the path for the demo only, never installed. A starter
# file from `init` still has its model to choose, which `check` says; the examples' models and
# samples are generated into build/demo, where each example checks clean and a copy with a
# misspelt input name does not. Each conversion keeps a `--record` of its run.
DEMO := build/demo
QARV_CONVERT := $(VENV)/bin/qarv-convert
demo: install
	$(QARV_CONVERT) --version
	mkdir -p $(DEMO)
	$(QARV_CONVERT) init --force $(DEMO)/starter.toml
	sed -n '/^\[load\]/,/^\[build\]/p' $(DEMO)/starter.toml
	! $(QARV_CONVERT) check $(DEMO)/starter.toml
	$(VENV_PYTHON) examples/make_model.py --into $(DEMO) > /dev/null
	$(QARV_CONVERT) check --strict -C $(DEMO) $(CURDIR)/examples/resnet50.toml $(CURDIR)/examples/detector.toml
	sed 's/inputs = \["input"\]/inputs = ["imput"]/' examples/resnet50.toml > $(DEMO)/broken.toml
	! $(QARV_CONVERT) check -C $(DEMO) broken.toml
	$(QARV_CONVERT) init --force --model $(DEMO)/detector.onnx $(DEMO)/from-model.toml
	sed -n '/^\[load\]/,/^\[build\]/p' $(DEMO)/from-model.toml | grep -v '^#' | grep .
	$(QARV_CONVERT) explain examples/resnet50.toml
	$(QARV_CONVERT) plan -C $(DEMO) $(CURDIR)/examples/resnet50.toml
	$(QARV_CONVERT) plan --json -C $(DEMO) $(CURDIR)/examples/resnet50.toml
	PYTHONPATH=$(CURDIR)/standin $(VENV_PYTHON) examples/convert_demo.py --out $(DEMO)

# The sdist and the wheel a user installs, built as pip would build them (in an isolated
# environment from the declared build requirements), then checked for what the index would refuse.
dist: deps
	$(call pip_install,$(VENV),.dist-packages,$(DIST_PACKAGES))
	rm -rf dist
	$(VENV_PYTHON) -m build --outdir dist .
	$(VENV)/bin/twine check --strict dist/*

# The whole suite against an ASan and UBSan build, kept in its own venv and build directory.
# pytest leaves standard error alone (--capture=sys) so that a UBSan report reaches the log; the
# benchmark plugin is off because it runs git, which would carry the ASan runtime too. The two
# memory-growth bounds are measured on the plain allocator and do not hold under ASan's
# quarantine; the leak checker stands in for them here. The packaging test is left out: the
# compiler it runs would carry the ASan runtime as well, and it tests no code of ours. Ray is left
# out (its test skips): its own processes would start under the ASan runtime.
SANITIZE_VENV := build/sanitize-venv
sanitize:
	$(call apt_install,$(DEBIAN_PACKAGES) $(TEST_DEBIAN_PACKAGES))
	$(call make_venv,$(SANITIZE_VENV),build/sanitize)
	$(call pip_install,$(SANITIZE_VENV),.packages,$(BUILD_PACKAGES) $(filter-out ray,$(TEST_PACKAGES)))
	$(SANITIZE_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
	  --no-deps --config-settings=build-dir=build/sanitize \
	  --config-settings=cmake.define.QARV_SANITIZE=ON $(TEST_HOOKS_FLAGS) .
	tests/sanitize/run $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider -p no:benchmark \
	  --capture=sys -m "not memory_bound and not packaging" tests

# libFuzzer over the plain C++ core, FUZZ_SECONDS for each target: the configuration target (loading,
# reports, summaries), the differential one (our TOML reader against toml++), then the ONNX reader
# on generated models. Each writes new
# inputs only to its own first corpus directory; the examples, the regression inputs and the
# toml-test documents are read as seeds in place.
FUZZ_SECONDS ?= 60
FUZZ_DEBIAN_PACKAGES := clang-14 libclang-rt-14-dev
TOML_TEST := ../shared/toml-test
FUZZ_SEEDS = examples tests/fuzz/regressions $(wildcard $(TOML_TEST)/valid $(TOML_TEST)/invalid)
FUZZ_FLAGS = -max_total_time=$(FUZZ_SECONDS) -timeout=10 -artifact_prefix=build/fuzz-artifacts/ -print_final_stats=1
CMAKE := $(VENV)/bin/cmake
fuzz: deps
	$(call apt_install,$(FUZZ_DEBIAN_PACKAGES))
	$(CMAKE) -S . -B build/fuzz -G "Unix Makefiles" -DCMAKE_CXX_COMPILER=clang++-14 -DQARV_FUZZ=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV_PYTHON)
	$(CMAKE) --build build/fuzz -j2
	mkdir -p build/fuzz-corpus build/fuzz-corpus-differential build/fuzz-artifacts
	build/fuzz/tests/fuzz/configuration_fuzzer $(FUZZ_FLAGS) -dict=tests/fuzz/configuration.dict \
	  build/fuzz-corpus $(FUZZ_SEEDS)
	build/fuzz/tests/fuzz/differential_fuzzer $(FUZZ_FLAGS) -dict=tests/fuzz/toml.dict \
	  build/fuzz-corpus-differential $(FUZZ_SEEDS)
	$(VENV_PYTHON) tests/fuzz/make_onnx_seeds.py build/fuzz-seeds-onnx
	mkdir -p build/fuzz-corpus-onnx
	build/fuzz/tests/fuzz/onnx_fuzzer $(FUZZ_FLAGS) build/fuzz-corpus-onnx build/fuzz-seeds-onnx

# Timings beside pure-Python baselines measured in the same run; rtoml and toml-rs, the large-file
# baselines, and onnxruntime, which the samples' benchmark times `check --run` beside, are only
# needed here (the benchmarks' models and samples come from onnx, numpy and pillow, built with
# every target).
BENCH_PACKAGES := rtoml toml-rs onnxruntime
bench: install
	$(call pip_install,$(VENV),.bench-packages,$(BENCH_PACKAGES))
	$(VENV_PYTHON) benchmarks/bench_conversion.py
	$(VENV_PYTHON) benchmarks/bench_loading.py
	$(VENV_PYTHON) benchmarks/bench_startup.py
	$(VENV_PYTHON) benchmarks/bench_memory.py
	$(VENV_PYTHON) benchmarks/bench_preflight.py
	$(VENV_PYTHON) benchmarks/bench_samples.py
	$(VENV_PYTHON) benchmarks/bench_batch.py

clean:
	rm -rf build
