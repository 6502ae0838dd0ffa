# Every step of building, testing and benchmarking veltra. The README shows the two
# entry points: `make demo` and `make test`.
PYTHON ?= python3
PIP := PIP_ROOT_USER_ACTION=ignore $(PYTHON) -m pip
SYS_PKGS := libgtest-dev libfftw3-dev libcjson-dev pkg-config clang libclang-rt-14-dev
BUILD_DEPS := "scikit-build-core>=0.10" "nanobind>=2.4" "numpy>=2.0" cmake ninja
JOBS ?= 2

.PHONY: demo test deps install pytest native sanitize tsan fuzz fuzz-smoke fuzz-build bench bench-native clean

demo: install
	veltra demo

test: deps
	$(PIP) install -q $(BUILD_DEPS)
	$(PIP) install -q --no-build-isolation -C cmake.define.VELTRA_TEST_MODULES=ON ".[test,docs]"
	$(MAKE) docs-html
	$(MAKE) pytest native sanitize tsan fuzz-smoke

# System packages, installed only when missing.
deps:
	@missing=""; for p in $(SYS_PKGS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

install: deps
	$(PIP) install -q $(BUILD_DEPS)
	$(PIP) install -q --no-build-isolation .

pytest:
	$(PYTHON) -m pytest tests/python

native:
	cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/native -j $(JOBS)
	ctest --test-dir build/native --output-on-failure -j $(JOBS)

sanitize:
	cmake -S . -B build/sanitize -G Ninja -DVELTRA_SANITIZE=ON >/dev/null
	cmake --build build/sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

# The cross-thread tests under ThreadSanitizer (ten million records through the telemetry ring).
tsan:
	cmake -S . -B build/tsan -G Ninja -DVELTRA_TSAN=ON >/dev/null
	cmake --build build/tsan -j $(JOBS) --target tsan_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure

# libFuzzer targets over the core (clang, ASan + UBSan). `make fuzz` runs each for
# FUZZ_TIME seconds, or with FUZZ_RUNS for that many executions (`make fuzz
# FUZZ_RUNS=1000000`: about 2, 13 and 27 minutes for state, capture and create on one
# core), growing build/fuzz/corpus/<target>
# from the seeds in tests/fuzz/corpus/<target>; `make fuzz-smoke` (part of `make test`)
# runs each a few seconds from the seeds alone. A crash leaves
# build/fuzz/crash-<target>-<hash>.
FUZZ_TARGETS := state create capture
FUZZ_TIME ?= 60
FUZZ_RUNS ?=
fuzz-smoke: FUZZ_TIME = 4
fuzz-smoke: FUZZ_RUNS =
fuzz-smoke: FUZZ_OUT = build/fuzz/smoke
fuzz: FUZZ_OUT = build/fuzz/corpus
FUZZ_BOUND = $(if $(FUZZ_RUNS),-runs=$(FUZZ_RUNS),-max_total_time=$(FUZZ_TIME))

fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVELTRA_FUZZ=ON >/dev/null
	cmake --build build/fuzz -j $(JOBS)

fuzz fuzz-smoke: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  rm -rf build/fuzz/smoke/$$t; mkdir -p $(FUZZ_OUT)/$$t; start=$$(date +%s); \
	  if build/fuzz/tests/fuzz/fuzz_$$t $(FUZZ_BOUND) -timeout=20 -print_final_stats=1 \
	      -artifact_prefix=build/fuzz/crash-$$t- $(FUZZ_OUT)/$$t tests/fuzz/corpus/$$t >build/fuzz/$$t.log 2>&1; then \
	    echo "fuzz_$$t: $$(grep -h '^stat::number_of_executed_units' build/fuzz/$$t.log | cut -d: -f4 | tr -d ' ') runs," \
	      "$$(grep -h '^stat::average_exec_per_sec' build/fuzz/$$t.log | cut -d: -f4 | tr -d ' ') per second," \
	      "$$(( $$(date +%s) - start )) s"; \
	  else tail -40 build/fuzz/$$t.log; exit 1; fi; \
	done

# The site (guide, gallery, API reference) into build/docs; any warning or failing example fails it.
.PHONY: docs docs-html
docs: deps
	$(PIP) install -q $(BUILD_DEPS)
	$(PIP) install -q --no-build-isolation ".[docs]"
	$(MAKE) docs-html

docs-html:
	$(PYTHON) -m sphinx -b html -n -W --keep-going -q docs build/docs

bench: install
	$(PIP) install -q ".[bench]"
	for b in bench/bench_*.py; do $(PYTHON) $$b || exit 1; done
	$(MAKE) bench-native

# Native benchmarks of core objects without Python classes.
bench-native:
	cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/native -j $(JOBS)
	for b in build/native/bench/native/bench_*; do $$b || exit 1; done

clean:
	rm -rf build
