# Single entry point. Where every supported CPython with its headers is on
# PATH the project builds natively; otherwise every target runs inside
# tools/toolbox, which is provisioned on first use.
.PHONY: test demo bench overhead format native-test native-test-main native-demo native-bench native-overhead toolbox

# The interpreters supported and tested: the native tests, the sanitizer builds
# and the benchmarks use PY_MAIN; the Python suite runs against each of the
# others too, in a build of the extension alone; the demo uses the newest.
PY_MAIN := 3.14
PY_OTHERS := 3.13 3.15
PY_NEWEST := 3.15
HAS_HEADERS := import os, sysconfig; print(int(os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))))
PY_NATIVE := $(shell for v in $(PY_MAIN) $(PY_OTHERS); do python$$v -c '$(HAS_HEADERS)' 2>/dev/null || echo 0; done | sort -u)
python_cmake = -DPython3_EXECUTABLE=$(shell command -v python$(1))
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build

# A compiler cache in the build tree, where there is one: the builds for each
# interpreter share the objects that do not depend on it.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
# The builds only tested compile a few sources at a time, each compiled
# once; the plain build compiles every file on its own, as users build it.
UNITY := -DCMAKE_UNITY_BUILD=ON
export CCACHE_DIR := $(CURDIR)/$(BUILD)/ccache
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

ifeq ($(PY_NATIVE),1)
RUN :=
else
RUN := tools/toolbox run
endif

test: $(if $(RUN),toolbox)
	$(RUN) $(MAKE) --no-print-directory native-test

demo: $(if $(RUN),toolbox)
	$(RUN) $(MAKE) --no-print-directory native-demo

bench: $(if $(RUN),toolbox)
	$(RUN) $(MAKE) --no-print-directory native-bench

overhead: $(if $(RUN),toolbox)
	$(RUN) $(MAKE) --no-print-directory native-overhead

toolbox:
	tools/toolbox ensure

# Three builds: plain (all tests, benchmarks built), ThreadSanitizer (the
# lock-free core), and AddressSanitizer with UndefinedBehaviorSanitizer (every
# native test, and the end-to-end tests against the sanitized extension); then
# the Python suite against each other interpreter.
native-test: native-test-main $(addprefix native-test-python,$(PY_OTHERS))

native-test-main:
	cmake -S . -B $(BUILD)/release $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENNIK_TLS_PROBES=OFF $(call python_cmake,$(PY_MAIN))
	cmake --build $(BUILD)/release -j $(JOBS)
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD)/tsan $(GENERATOR) $(LAUNCHER) $(UNITY) -DCMAKE_BUILD_TYPE=Debug -DFENNIK_SANITIZE=thread -DFENNIK_BENCH=OFF -DFENNIK_PYTHON=OFF $(call python_cmake,$(PY_MAIN))
	cmake --build $(BUILD)/tsan -j $(JOBS) --target core_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir $(BUILD)/tsan -L core --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD)/asan $(GENERATOR) $(LAUNCHER) $(UNITY) -DCMAKE_BUILD_TYPE=Debug -DFENNIK_SANITIZE=address,undefined -DFENNIK_BENCH=OFF $(call python_cmake,$(PY_MAIN))
	cmake --build $(BUILD)/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# The extension and the Python suite alone, against one other interpreter
# (native-test-python3.13). Pattern rules, so not .PHONY: no file has their names.
# These builds compress with zlib, so that the suite also covers the fallback
# of machines without libdeflate.
native-test-python%: native-build-python%
	ctest --test-dir $(BUILD)/py$* -R '^python_tests' --output-on-failure -j $(JOBS)

native-build-python%:
	cmake -S . -B $(BUILD)/py$* $(GENERATOR) $(LAUNCHER) $(UNITY) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENNIK_BENCH=OFF -DFENNIK_LIBDEFLATE=OFF $(call python_cmake,$*)
	cmake --build $(BUILD)/py$* -j $(JOBS) --target _core emit_output

# Traces examples/demo.py into each output format (from the command line and
# through the Python API), and once with the flight recorder, says how to
# open each file, and prints the report of the trace with its flame graph.
native-demo: native-build-python$(PY_NEWEST)
	mkdir -p out
	PYTHONPATH=$(BUILD)/py$(PY_NEWEST)/python python$(PY_NEWEST) -m fennik run -o out/demo.pb examples/demo.py
	PYTHONPATH=$(BUILD)/py$(PY_NEWEST)/python python$(PY_NEWEST) examples/demo.py out/demo.json json
	PYTHONPATH=$(BUILD)/py$(PY_NEWEST)/python python$(PY_NEWEST) examples/demo.py out/demo.pprof pprof
	rm -rf out/dumps
	PYTHONPATH=$(BUILD)/py$(PY_NEWEST)/python python$(PY_NEWEST) -m fennik run -o out/dumps --record-last-mb 16 examples/demo.py
	python$(PY_NEWEST) examples/summarize.py out/demo.pb out/demo.json out/demo.pprof out/dumps/*
	PYTHONPATH=$(BUILD)/py$(PY_NEWEST)/python python$(PY_NEWEST) -m fennik report out/demo.pb --top 12 --flame out/demo.svg

native-bench:
	cmake -S . -B $(BUILD)/bench $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release -DFENNIK_TESTS=OFF $(call python_cmake,$(PY_MAIN))
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/core_bench --benchmark_min_time=0.2s
	$(BUILD)/bench/bench/tls_bench --benchmark_min_time=0.2s
	$(BUILD)/bench/bench/json_bench
	$(BUILD)/bench/bench/proto_bench
	$(BUILD)/bench/bench/pprof_bench
	$(BUILD)/bench/bench/report_bench 20 $(BUILD)/bench
	FENNIK_BENCH_DIR=$(BUILD)/bench $(BUILD)/bench/bench/pipeline_bench

native-overhead:
	cmake -S . -B $(BUILD)/bench $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release -DFENNIK_TESTS=OFF $(call python_cmake,$(PY_MAIN))
	cmake --build $(BUILD)/bench -j $(JOBS)
	mkdir -p $(BUILD)/bench/out
	PYTHONPATH=$(BUILD)/bench/python python$(PY_MAIN) bench/overhead.py --build-dir $(BUILD)/bench --tmp-dir $(BUILD)/bench/out
	PYTHONPATH=$(BUILD)/bench/python python$(PY_MAIN) bench/selection.py --tmp-dir $(BUILD)/bench/out
	PYTHONPATH=$(BUILD)/bench/python python$(PY_MAIN) bench/annotations.py --tmp-dir $(BUILD)/bench/out

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
