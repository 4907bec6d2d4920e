# Set-up, build, tests and demo. `make test` and `make demo` install what they need first.
PYTHON ?= python3
PIP := $(PYTHON) -m pip
DEBIAN_PACKAGES := libtomlplusplus-dev nlohmann-json3-dev g++ make valgrind
PYTHON_PACKAGES := scikit-build-core cmake ninja pytest numpy jsonschema pre-commit taplo tombi nbclient ipykernel

.PHONY: deps install test demo sanitize fuzz bench clean

# Installs those of the Debian packages $(1) that are missing.
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call apt_install,$(DEBIAN_PACKAGES))
	$(PIP) install --quiet --disable-pip-version-check $(PYTHON_PACKAGES)

install: deps
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation .

test: install
	$(PYTHON) -m pytest -q tests

# The demo toolkit in standin/ is put on the path for the demo only, never installed. A starter
# file from `init` must load without a warning; each conversion keeps a `--record` of its run.
demo: install
	$(PYTHON) -m qarv_convert --version
	mkdir -p build/demo
	$(PYTHON) -m qarv_convert init --force build/demo/starter.toml
	sed -n '/^\[load\]/,/^\[build\]/p' build/demo/starter.toml
	$(PYTHON) -m qarv_convert check --strict build/demo/starter.toml
	$(PYTHON) -m qarv_convert check examples/resnet50.toml
	$(PYTHON) -m qarv_convert explain examples/resnet50.toml
	$(PYTHON) -m qarv_convert plan examples/resnet50.toml
	$(PYTHON) -m qarv_convert plan --json examples/resnet50.toml
	PYTHONPATH=$(CURDIR)/standin $(PYTHON) examples/convert_demo.py --out build/demo

# The whole suite against an ASan and UBSan build, kept in its own venv and build directory.
# pytest leaves standard error alone (--capture=sys) so that a UBSan report reaches the log; the
# benchmark plugin is off because it runs git, which would carry the ASan runtime too. The two
# memory-growth bounds are measured on the plain allocator and do not hold under ASan's
# quarantine; the leak checker stands in for them here.
SANITIZE_VENV := build/sanitize-venv
sanitize: deps
	@test -x $(SANITIZE_VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
	  -Cbuild-dir=build/sanitize -Ccmake.define.QARV_SANITIZE=ON .
	tests/sanitize/run $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider -p no:benchmark \
	  --capture=sys -m "not memory_bound" tests

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
CMAKE = $(shell $(PYTHON) -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))')
fuzz: deps
	$(call apt_install,$(FUZZ_DEBIAN_PACKAGES))
	$(CMAKE) -S . -B build/fuzz -G "Unix Makefiles" -DCMAKE_CXX_COMPILER=clang++-14 -DQARV_FUZZ=ON
	$(CMAKE) --build build/fuzz -j2
	mkdir -p build/fuzz-corpus build/fuzz-corpus-differential build/fuzz-artifacts
	build/fuzz/tests/fuzz/configuration_fuzzer $(FUZZ_FLAGS) -dict=tests/fuzz/configuration.dict \
	  build/fuzz-corpus $(FUZZ_SEEDS)
	build/fuzz/tests/fuzz/differential_fuzzer $(FUZZ_FLAGS) -dict=tests/fuzz/toml.dict \
	  build/fuzz-corpus-differential $(FUZZ_SEEDS)
	$(PYTHON) tests/fuzz/make_onnx_seeds.py build/fuzz-seeds-onnx
	mkdir -p build/fuzz-corpus-onnx
	build/fuzz/tests/fuzz/onnx_fuzzer $(FUZZ_FLAGS) build/fuzz-corpus-onnx build/fuzz-seeds-onnx

# Timings beside pure-Python baselines measured in the same run; rtoml and toml-rs, the large-file
# baselines, are only needed here.
bench: install
	$(PIP) install --quiet --disable-pip-version-check rtoml toml-rs
	$(PYTHON) benchmarks/bench_conversion.py
	$(PYTHON) benchmarks/bench_loading.py
	$(PYTHON) benchmarks/bench_startup.py

clean:
	rm -rf build
