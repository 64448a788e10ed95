# make test   build and run every suite: Linux, Linux under ASan+UBSan, Windows under Wine, then
#             the programs that start threads (and the stress tests) under ThreadSanitizer, then
#             every fuzz target over its corpus and for 20 seconds of fresh inputs
# make fuzz   every fuzz target over its corpus, then FUZZ_SECONDS (60) of fresh inputs each, two
#             at a time; FUZZ_RUNS=N stops a target after N inputs
# make demo   the host program against the simulated sources
# make package  hvsrc-<version>-Linux.tar.gz and hvsrc-<version>-win64.zip in build/packages
# make bench  hvsrc-bench: the plug-in against bare exchanges of the same bytes (not in make test)
# Missing Debian packages are installed first when run as root.

SHELL := /bin/bash
PACKAGES := cmake make g++ libgtest-dev libgmock-dev googletest nlohmann-json3-dev \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 clang libclang-rt-14-dev \
            llvm lld python3 python3-pytest
WINE := $(shell dpkg -L wine64 2>/dev/null | grep -E '/wine64$$' | head -n 1)
WINESERVER := $(dir $(WINE))wineserver
WINEPREFIX_DIR := $(CURDIR)/build/windows/wineprefix
WINE_ENV := WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

.PHONY: all deps test test-linux test-asan test-tsan test-windows test-fuzz fuzz build-linux \
        demo bench package clean

all: build-linux

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" != 0 ]; then echo "missing Debian packages:$$missing (run as root to install them)"; exit 1; fi; \
	  echo "installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

build-linux: deps
	cmake --preset linux
	cmake --build --preset linux

test-linux: build-linux
	ctest --preset linux

test-asan: deps
	cmake --preset linux-asan
	cmake --build --preset linux-asan
	ctest --preset linux-asan

# Only the programs that start threads are built and run here; a ThreadSanitizer report fails
# the program that shows it.
test-tsan: deps
	cmake --preset linux-tsan
	cmake --build --preset linux-tsan
	ctest --preset linux-tsan

# One persistent wineserver for the whole run (each Wine start is then fast); it is stopped
# however the run ends, so nothing is left holding the output open.
test-windows: deps
	cmake --preset windows
	cmake --build --preset windows
	@mkdir -p $(WINEPREFIX_DIR)
	@status=0; \
	trap '$(WINE_ENV) $(WINESERVER) -k >/dev/null 2>&1 || true' EXIT; \
	$(WINE_ENV) $(WINESERVER) -p </dev/null >/dev/null 2>&1; \
	$(WINE_ENV) $(WINE) wineboot --init </dev/null >/dev/null 2>&1 || true; \
	ctest --preset windows || status=$$?; \
	exit $$status

# The fuzz targets (clang, libFuzzer with ASan and UBSan; tests/fuzz): each ctest entry replays
# its target's committed corpus, then fuzzes for FUZZ_SECONDS and prints how many inputs ran.
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
fuzz: deps
	cmake --preset linux-fuzz
	cmake --build --preset linux-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_RUNS=$(FUZZ_RUNS) ctest --preset linux-fuzz --verbose

test-fuzz:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=20 FUZZ_RUNS=

# Every suite runs even when an earlier one fails; the result fails if any did.
test: deps
	@status=0; \
	$(MAKE) --no-print-directory test-linux || status=1; \
	$(MAKE) --no-print-directory test-asan || status=1; \
	$(MAKE) --no-print-directory test-windows || status=1; \
	$(MAKE) --no-print-directory test-tsan || status=1; \
	$(MAKE) --no-print-directory test-fuzz || status=1; \
	if [ $$status = 0 ]; then echo "make test: all suites passed"; else echo "make test: FAILED"; fi; \
	exit $$status

# The host program against the simulator: all three kinds of source discovered, set and read
# back through the plug-in, a short monitor written as CSV and SVG, then every source ramped
# back to 0 V.
DEMO_DIR := $(CURDIR)/build/demo
HOST := $(CURDIR)/build/linux/bin/hvsrc-host
demo: build-linux
	@mkdir -p $(DEMO_DIR)
	$(HOST) --simulate --log-dir $(DEMO_DIR) \
	  list + set 0 0 250 + set 0 1 600 + set 1 1 -300 + set 2 0 42.5 \
	  + read 0 + read 1 + read 2 \
	  + monitor --interval 0.25 --count 12 --csv $(DEMO_DIR)/monitor.csv --overwrite --svg $(DEMO_DIR)/monitor.svg \
	  + ramp all 0 --rate 200
	@echo "--- an IV scan of a simulated sensor that breaks down at 350 V (exit 5: stopped at the compliance)"
	$(HOST) --scenario examples/sensor.scn --log-dir $(DEMO_DIR) \
	  iv 0 0 0 400 10 --compliance 10uA --settle 0.2 --rate 200 \
	  --csv $(DEMO_DIR)/iv.csv --overwrite --svg $(DEMO_DIR)/iv.svg; rc=$$?; [ $$rc = 0 ] || [ $$rc = 5 ]
	@echo "logs, monitor.csv, monitor.svg, iv.csv and iv.svg (open the SVGs in a browser) are in $(DEMO_DIR)"

# The packages hold the plug-in, hvsrc-host and the stand-in driver: only these are built for them.
PACKAGE_DIR := $(CURDIR)/build/packages
PACKAGE_TARGETS := --target hvsrc --target hvsrc-host --target ftd2xx
package: deps
	cmake --preset linux
	cmake --build --preset linux $(PACKAGE_TARGETS)
	cpack --config build/linux/CPackConfig.cmake -B $(PACKAGE_DIR)
	cmake --preset windows
	cmake --build --preset windows $(PACKAGE_TARGETS)
	cpack --config build/windows/CPackConfig.cmake -B $(PACKAGE_DIR)
	@rm -rf $(PACKAGE_DIR)/_CPack_Packages
	@ls -l $(PACKAGE_DIR)

# The benchmark on the Linux build: one table on the terminal, the figures as CSV and the logs
# of its last runs in build/bench/. Each goal is reported as PASS or with its gap.
BENCH_DIR := $(CURDIR)/build/bench
bench: build-linux
	@mkdir -p $(BENCH_DIR)
	$(CURDIR)/build/linux/bin/hvsrc-bench --log-dir $(BENCH_DIR) --csv $(BENCH_DIR)/hvsrc-bench.csv

clean:
	rm -rf build/linux build/linux-asan build/linux-tsan build/linux-fuzz build/windows build/packages
