# Set-up, build, tests and demo. `make test` and `make demo` install what they need first.
PYTHON ?= python3
PIP := $(PYTHON) -m pip
DEBIAN_PACKAGES := libtomlplusplus-dev nlohmann-json3-dev g++ make
PYTHON_PACKAGES := scikit-build-core cmake ninja pytest numpy jsonschema

.PHONY: deps install test demo clean

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	$(PIP) install --quiet --disable-pip-version-check $(PYTHON_PACKAGES)

install: deps
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation .

test: install
	$(PYTHON) -m pytest -q tests

# The demo toolkit in standin/ is put on the path for the demo only, never installed.
demo: install
	$(PYTHON) -m qarv_convert check examples/resnet50.toml
	$(PYTHON) -m qarv_convert explain examples/resnet50.toml
	$(PYTHON) -m qarv_convert plan examples/resnet50.toml
	PYTHONPATH=$(CURDIR)/standin $(PYTHON) examples/convert_demo.py --out build/demo

clean:
	rm -rf build
