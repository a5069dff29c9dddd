# Set-up, build and test. `make test` and `make demo` work on a fresh machine:
# they install what is missing first.
SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= 2
DEV_BUILD := build/dev
SAN_BUILD := build/sanitize
FUZZ_BUILD := build/fuzz
PYSAN_BUILD := build/python-sanitize
SEGMENTER_ENV := build/segmenter-env
FUZZ_SECONDS ?= 60
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# ccache, where present, shares compiled objects between checkouts of the project.
LAUNCHER := $(shell command -v ccache >/dev/null 2>&1 && echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: deps build build-sanitize build-fuzz fuzz test-python-sanitize test-segmenter test test-cpp test-sanitize test-python demo bench format clean
.PHONY: wheel test-wheel docs test-docs

deps:
	@PYTHON=$(PYTHON) scripts/install_deps.sh

build: deps
	@cmake -S . -B $(DEV_BUILD) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release -DHERDMASK_INPLACE=ON \
	  -DHERDMASK_TESTS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	@cmake --build $(DEV_BUILD) --parallel $(JOBS)

build-sanitize: deps
	@cmake -S . -B $(SAN_BUILD) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHERDMASK_PYTHON=OFF \
	  -DHERDMASK_TESTS=ON -DHERDMASK_SANITIZE=ON >/dev/null
	@cmake --build $(SAN_BUILD) --parallel $(JOBS)

test-cpp: build
	ctest --test-dir $(DEV_BUILD) --output-on-failure -j $(JOBS)

test-sanitize: build-sanitize
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

build-fuzz: deps
	@command -v clang++ >/dev/null 2>&1 || scripts/install_deps.sh --fuzz
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DHERDMASK_PYTHON=OFF -DHERDMASK_SANITIZE=ON -DHERDMASK_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) --parallel $(JOBS)

# Each harness runs FUZZ_SECONDS on a scratch copy of its corpus (the committed corpus stays as it is).
fuzz: build-fuzz
	@for f in $(FUZZ_BUILD)/fuzz/fuzz_*; do \
	  name=$$(basename $$f); name=$${name#fuzz_}; work=$(FUZZ_BUILD)/corpus-$$name; \
	  rm -rf $$work; mkdir -p $$work; cp fuzz/corpus/$$name/* $$work/ 2>/dev/null; \
	  echo "fuzzing $$name for $(FUZZ_SECONDS) s"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 $$work 2>&1 | \
	    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' ; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

test-python: build
	MPLBACKEND=Agg PYTHONPATH=python $(PYTHON) -m pytest -q tests/python

# The Python suite against an ASan+UBSan build of the extension, staged apart from
# the in-place build; the sanitizer runtimes are preloaded into the uninstrumented Python.
test-python-sanitize: deps
	@cmake -S . -B $(PYSAN_BUILD) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DHERDMASK_SANITIZE=ON -DHERDMASK_MODULE_DIR=$(CURDIR)/$(PYSAN_BUILD)/stage/herdmask \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	@cmake --build $(PYSAN_BUILD) --parallel $(JOBS) --target _core
	@rm -rf $(PYSAN_BUILD)/stage/herdmask/app && cp python/herdmask/*.py $(PYSAN_BUILD)/stage/herdmask/ && cp -r python/herdmask/app $(PYSAN_BUILD)/stage/herdmask/app
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  MPLBACKEND=Agg PYTHONPATH=$(PYSAN_BUILD)/stage $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# The model calls, the model loading and `herdmask run` end to end against the
# detector and segmenter libraries, with tiny random weights made offline, in the
# environment scripts/segmenter_env.sh makes (torchvision needs its own torch
# there); here a missing package fails instead of skipping.
test-segmenter: build
	@PYTHON=$(PYTHON) scripts/segmenter_env.sh $(SEGMENTER_ENV)
	HERDMASK_REQUIRE_SEGMENTER=1 MPLBACKEND=Agg PYTHONPATH=python $(SEGMENTER_ENV)/bin/python -m pytest \
	  -q -p no:cacheprovider tests/python/test_detect_contract.py tests/python/test_real_models.py

# The self-contained wheel in dist/. The native libraries it links are built once
# into HERDMASK_CACHE, which also keeps the clean Debian root of its test.
HERDMASK_CACHE ?= $(HOME)/.cache/herdmask
export HERDMASK_CACHE

wheel: deps
	@PYTHON=$(PYTHON) scripts/install_deps.sh --wheel
	@PYTHON=$(PYTHON) JOBS=$(JOBS) scripts/build_wheel.sh dist

# The wheel and its extras installed into a minimal Debian root (Python and pip only),
# `herdmask demo` run there to its score, and no library loaded from outside the
# wheels and that root.
test-wheel: wheel
	$(PYTHON) -m pytest -q -p no:cacheprovider tests/wheel

# The documentation site in build/site, warnings as errors (the command reference is
# written from the parser, so the extension is built first).
docs: build
	@PYTHON=$(PYTHON) scripts/install_deps.sh --docs
	PYTHONPATH=python $(PYTHON) -m mkdocs build --strict --quiet -d build/site

# Its internal links, and the guide's commands run as printed.
test-docs: docs
	MPLBACKEND=Agg PYTHONPATH=python $(PYTHON) -m pytest -q -p no:cacheprovider tests/docs

test: test-cpp test-sanitize test-python fuzz test-python-sanitize test-segmenter test-wheel test-docs

demo: build
	PYTHONPATH=python $(PYTHON) -m herdmask demo --out demo-output

bench: build
	PYTHONPATH=python $(PYTHON) benchmarks/run.py

format:
	clang-format -i src/*/*.cpp src/*/*.hpp bindings/*.cpp bindings/*.hpp tests/cpp/*.cpp

clean:
	rm -rf build python/herdmask/_core*.so
