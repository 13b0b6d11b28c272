# SPDX-License-Identifier: GPL-3.0-or-later
# Kestova — top-level commands. `make run` and `make test` do all the set-up.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
DEMO_FRAME ?= $(BUILD)/demo.img
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps build test test-core test-asan run bench fuzz package clean

all: build

deps:
	@scripts/setup-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build test-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# Everything again (core, session, desktop layer, both windows, the CLI and
# their tests) under AddressSanitizer and UBSan. UBSan stops at its first
# report; the only report it may skip is listed in scripts/ubsan.supp (inside
# Qt's own headers, nothing of ours).
SAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=$(CURDIR)/scripts/ubsan.supp \
  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0
test-asan: deps
	@test -f $(ASAN_BUILD)/CMakeCache.txt || cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) \
	  -DCMAKE_BUILD_TYPE=Debug -DKESTOVA_SANITIZE=ON -DKESTOVA_BENCH=OFF
	$(SAN_ENV) cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j $(JOBS) --timeout 900

# A virtual frame that already holds six sample pictures drawn by Kestova;
# made once, so what you do to it in the demo stays.
$(DEMO_FRAME): build
	@test -f $@ || $(BUILD)/cli/kestova-cli frame new --demo $@

run: build $(DEMO_FRAME)
	@scripts/run-demo $(BUILD) $(DEMO_FRAME)

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

fuzz: deps
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTOVA_CORE_ONLY=ON -DKESTOVA_FUZZ=ON -DKESTOVA_BENCH=OFF -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@echo "fuzzers are in $(FUZZ_BUILD)/fuzz/"

# The Debian package kestova_VERSION_ARCH.deb, here in the top folder, checked
# by lintian (errors fail the target; warnings are shown).
package: build
	@scripts/setup-deps --package
	rm -f $(BUILD)/kestova_*.deb
	cd $(BUILD) && cpack -G DEB
	rm -f kestova_*.deb && cp $(BUILD)/kestova_*.deb .
	lintian --fail-on error --info kestova_*.deb
	@ls -l kestova_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
