# make demo / make test do all set-up on a fresh Debian machine.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# Developer build tree (see `make dev`); override to keep several apart.
BUILD_DIR ?= build/dev

.PHONY: all opencv venv install test testref demo bench dev devtest sanitize clean

all: install

opencv:
	@pkg-config --exists opencv4 polyclipping libdeflate libisal || { \
	  echo "installing libopencv-dev libpolyclipping-dev libdeflate-dev libisal-dev"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libopencv-dev libpolyclipping-dev libdeflate-dev && \
	  { DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libisal-dev || \
	    echo "libisal-dev is not available here: PNG data is deflated by libdeflate"; }; }

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

venv: $(VPY)

# Reinstalled only when a source, the Python package or the build files change.
STAMP := $(VENV)/.kiro-installed
SOURCES := $(shell find src kiro -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

install: opencv venv $(STAMP)

$(STAMP): $(SOURCES) | $(VPY)
	$(VPY) -m pip install -q ".[test,ray]"
	touch $@

# Test-only modules calling the installed OpenCV directly (tests/reference).
TESTREF := build/testref

# The DataLoader example is tested against the CPU build of PyTorch when this
# machine carries its wheel (kiro itself never imports torch).
TORCH_WHEEL := $(firstword $(wildcard /opt/wheels/torch-*+cpu-cp311-*$(shell uname -m).whl))
TORCH_STAMP := $(VENV)/.kiro-torch

test: install testref $(if $(TORCH_WHEEL),$(TORCH_STAMP))
	KIRO_TESTREF=$(TESTREF)/modules $(VENV)/bin/pytest -q tests

$(TORCH_STAMP): | $(VPY)
	$(VPY) -m pip install -q "$(TORCH_WHEEL)"
	touch $@

testref: venv
	cmake -S tests/reference -B $(TESTREF) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	cmake --build $(TESTREF)

demo: install
	$(VPY) examples/demo.py

bench: opencv venv
	$(VPY) -m pip install -q ".[test,bench,ray]"
	$(MAKE) -C bench PYTHON=$(abspath $(VPY))

# Fast incremental build into $(BUILD_DIR)/stage, for working on the C++ side:
#   make dev && PYTHONPATH=build/dev/stage pytest tests
dev: opencv
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -Dpybind11_DIR=$$($(PYTHON) -m pybind11 --cmakedir) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(BUILD_DIR) $(if $(TARGETS),--target kiro_stage_py $(TARGETS))

devtest: dev
	cmake -S tests/reference -B $(BUILD_DIR)-testref -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -Dpybind11_DIR=$$($(PYTHON) -m pybind11 --cmakedir) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(BUILD_DIR)-testref
	KIRO_TESTREF=$(BUILD_DIR)-testref/modules PYTHONPATH=$(BUILD_DIR)/stage $(PYTHON) -P -m pytest -q -p no:cacheprovider tests

# kiro and the test reference modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer into $(SAN_DIR), then the whole test suite on that
# build with the sanitizer runtimes preloaded into the interpreter: any report
# stops the run and fails it (--capture=sys leaves the report on the terminal).
# Slow; not part of `make test`. CPython leaks by design, so leak detection is
# off. KIRO_SANITIZE=1 tells the tests.
SAN_DIR ?= build/sanitize
SAN_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)

sanitize: opencv
	cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIRO_SANITIZE=ON \
	  -Dpybind11_DIR=$$($(PYTHON) -m pybind11 --cmakedir) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(SAN_DIR)
	cmake -S tests/reference -B $(SAN_DIR)-testref -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIRO_SANITIZE=ON \
	  -Dpybind11_DIR=$$($(PYTHON) -m pybind11 --cmakedir) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(SAN_DIR)-testref
	LD_PRELOAD="$(SAN_PRELOAD)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  KIRO_SANITIZE=1 KIRO_TESTREF=$(SAN_DIR)-testref/modules PYTHONPATH=$(SAN_DIR)/stage \
	  $(PYTHON) -P -m pytest -q -p no:cacheprovider --capture=sys tests

clean:
	rm -rf build $(VENV)
