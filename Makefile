# Entry points for people and CI: everything installs what it needs first.
SHELL := /bin/bash
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
JOBS ?= $(shell nproc)

# Exactly the Debian packages the build, the tests and the demo need, on a minimal Debian 12
# (debootstrap --variant=minbase) too. The package is built by dpkg-dev's dpkg-buildpackage with
# debhelper, which checks every Build-Depends of debian/control and build-essential (which a
# minimal Debian lacks) before it builds, and checked with lintian; the tests install it on a Debian 12 made by debootstrap
# and booted by systemd-container's systemd-nspawn. systemd-analyze verify looks the units'
# manual page up with man-db's man. The package tests build through ccache, so that a second
# package, of another version, compiles only what the version changes. Chromium (headless)
# loads the operators' page in the end-to-end tests.
PACKAGES := build-essential cmake ninja-build g++ make pkg-config \
	libboost1.81-dev libboost-program-options1.81-dev \
	libboost-context1.81-dev libboost-coroutine1.81-dev \
	rapidjson-dev libsystemd-dev prometheus-cpp-dev libjemalloc-dev libgtest-dev libgmock-dev \
	python3 python3-pytest python3-websockets systemd dpkg-dev debhelper lintian \
	debootstrap systemd-container man-db groff-base prometheus clang-format-14 ccache chromium

ifeq ($(shell id -u),0)
SUDO :=
else
SUDO := sudo
endif

# The broker the benchmark compares the controller with, and the client library it drives it
# with; only `make bench` installs them.
BENCH_PACKAGES := mosquitto libmosquitto-dev

FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
# The parsers of JSON from outside take inputs up to 1 MiB, so that deep nesting is in reach.
FUZZ_LARGE_INPUTS := fuzz_api_documents|fuzz_result_message|fuzz_validate_answer

.PHONY: deps fuzz-deps bench-deps configure build test test-asan test-tsan package fuzz demo bench soak format clean

deps fuzz-deps bench-deps: WANTED = $(if $(filter fuzz-deps,$@),$(FUZZ_PACKAGES),$(if \
	$(filter bench-deps,$@),$(BENCH_PACKAGES),$(PACKAGES)))
deps fuzz-deps bench-deps:
	@missing=$$(for p in $(WANTED); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing </dev/null; \
	fi

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja

configure: deps $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The Debian package, in $(BUILD_DIR): tt-controller_<version>_<arch>.deb and its debug symbols,
# made by dpkg-buildpackage from a copy of the sources in $(BUILD_DIR)/tt-controller.
package: deps
	tools/build-package.sh $(BUILD_DIR)

# The controller between simulated API servers, a validator and devices for a few seconds.
demo: build
	TT_BUILD_DIR=$(BUILD_DIR) tools/demo.sh </dev/null

# The controller's figures on this machine: admission, memory per device, relay throughput and
# latency, each beside a bare relay's and the mosquitto broker's; a table here and the same
# figures in $(BUILD_DIR)/bench.json. Without the broker's packages it runs without its column
# (and says so); configuring again lets the build find libmosquitto once it is installed.
bench: build
	@$(MAKE) --no-print-directory bench-deps || \
		echo "Note: $(BENCH_PACKAGES) could not be installed: no mosquitto column"
	cmake -S . -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tt_bench
	$(BUILD_DIR)/tools/tt_bench --controller $(BUILD_DIR)/tt_controller \
		--json $(BUILD_DIR)/bench.json --logs $(BUILD_DIR) </dev/null

# Ten minutes of fault injection: devices, API servers and the validator come, go, misbehave and
# are killed around the controller; prints its figures and fails when an invariant broke.
SOAK_SECONDS ?= 600
soak: build
	/usr/bin/python3 tools/soak.py --seconds $(SOAK_SECONDS) \
		--controller $(BUILD_DIR)/tt_controller --simulator $(BUILD_DIR)/tools/tt_simulator </dev/null

$(ASAN_BUILD_DIR)/build.ninja:
	cmake -S . -B $(ASAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTT_SANITIZE=ON

# The same suites under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps $(ASAN_BUILD_DIR)/build.ninja
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)

$(TSAN_BUILD_DIR)/build.ninja:
	cmake -S . -B $(TSAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTT_TSAN=ON

# The same suites under ThreadSanitizer: the controller runs one event loop on one thread, and
# this is what says no other thread (the resolver's, the log writer's) touches its state unlocked.
test-tsan: deps $(TSAN_BUILD_DIR)/build.ninja
	cmake --build $(TSAN_BUILD_DIR) -j $(JOBS)
	cd $(TSAN_BUILD_DIR) && TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1 \
		ctest --output-on-failure -j $(JOBS)

$(FUZZ_BUILD_DIR)/build.ninja:
	cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
		-DTT_FUZZ=ON -DTT_BUILD_TESTS=OFF

# Runs every fuzz target for FUZZ_SECONDS from the seeds in fuzz/corpus; what it finds is kept
# in $(FUZZ_BUILD_DIR)/corpus and crashing inputs in $(FUZZ_BUILD_DIR)/artifacts.
fuzz: deps fuzz-deps $(FUZZ_BUILD_DIR)/build.ninja
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS)
	@mkdir -p $(FUZZ_BUILD_DIR)/artifacts
	@for target in $(FUZZ_BUILD_DIR)/fuzz/fuzz_*; do \
		name=$$(basename $$target); mkdir -p $(FUZZ_BUILD_DIR)/corpus/$$name; \
		case $$name in $(FUZZ_LARGE_INPUTS)) max_len=1048576;; *) max_len=4096;; esac; \
		$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -max_len=$$max_len \
			-artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/$$name- \
			$(FUZZ_BUILD_DIR)/corpus/$$name fuzz/corpus/$$name \
			> $(FUZZ_BUILD_DIR)/$$name.log 2>&1 \
			|| { tail -n 40 $(FUZZ_BUILD_DIR)/$$name.log; exit 1; }; \
		echo "$$name: $$(grep -h -o 'stat::number_of_executed_units: *[0-9]*' \
			$(FUZZ_BUILD_DIR)/$$name.log | grep -o '[0-9]*$$') executions in $(FUZZ_SECONDS) s, no crash"; \
	done

# Applies .clang-format to every C++ file of the tree; the test suite checks that nothing is left.
format: deps
	tools/format.sh

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR) $(FUZZ_BUILD_DIR)
