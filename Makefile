# Every step of building, testing and benchmarking veltra. The README shows the two
# entry points: `make demo` and `make test`.
PYTHON ?= python3
PIP := PIP_ROOT_USER_ACTION=ignore $(PYTHON) -m pip
SYS_PKGS := libgtest-dev libfftw3-dev libcjson-dev pkg-config clang libclang-rt-14-dev
BUILD_DEPS := "scikit-build-core>=0.10" "nanobind>=2.4" "numpy>=2.0" cmake ninja
JOBS ?= 2

.PHONY: demo test deps install pytest native sanitize tsan fuzz bench bench-native clean

demo: install
	veltra demo

test: deps
	$(PIP) install -q $(BUILD_DEPS)
	$(PIP) install -q --no-build-isolation -C cmake.define.VELTRA_TEST_MODULES=ON ".[test,docs]"
	$(MAKE) docs-html
	$(MAKE) pytest native sanitize tsan fuzz

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

# Coverage-guided fuzzing of the capture parsers with ASan and UBSan, for a bounded time.
FUZZ_TIME ?= 30
FUZZ_SRC := tests/fuzz/capture_fuzz.cpp core/capture/lectra/lectra_core.cpp \
  core/capture/wfm_blue/wfm_blue_core.cpp core/runtime/vx_base/vx_base_core.cpp
fuzz:
	mkdir -p build/fuzz/corpus
	clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	  -Icore/runtime/vx_base -Icore/capture/wfm_blue -Icore/capture/lectra $(FUZZ_SRC) -lcjson \
	  -o build/fuzz/capture_fuzz
	build/fuzz/capture_fuzz -max_total_time=$(FUZZ_TIME) -timeout=10 -rss_limit_mb=2048 \
	  build/fuzz/corpus tests/fuzz/seeds

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
