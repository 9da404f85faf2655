# `make demo` and `make test` set up everything a fresh machine lacks, then
# build. A second run reinstalls nothing and rebuilds only what changed.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMPS  := .stamps
SUDO    := $(if $(filter 0,$(shell id -u)),,sudo)
SOURCES := CMakeLists.txt pyproject.toml $(shell find src -type f 2>/dev/null)
PY_DEPS := scikit-build-core 'pybind11>=3' numpy pytest cmake ninja

.PHONY: demo test build system-deps clean

demo: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest -q

build: system-deps $(STAMPS)/installed

# Debian's fast_float and liblzf headers, installed only when absent.
system-deps:
	@if [ ! -f /usr/include/fast_float/fast_float.h ] || [ ! -f /usr/include/liblzf/lzf.h ]; then \
	  echo "Installing libfast-float-dev and liblzf-dev"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libfast-float-dev liblzf-dev; \
	fi

# CPython 3.12 from PATH, or else from pyenv (whose shims may name a version
# that is not selected, so each candidate must actually run).
$(PY):
	@for c in "$$(command -v python3.12)" "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12; do \
	  if [ -n "$$c" ] && "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then \
	    echo "Creating $(VENV) from $$c"; exec "$$c" -m venv $(VENV); \
	  fi; \
	done; echo "CPython 3.12 not found on PATH or through pyenv" >&2; exit 1

$(STAMPS)/py-deps: pyproject.toml | $(PY)
	$(PY) -m pip install -q $(PY_DEPS)
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/installed: $(STAMPS)/py-deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	@touch $@

clean:
	rm -rf build $(STAMPS)
