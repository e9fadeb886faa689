# Front door of the project. `make test` and `make demo` work on a fresh
# Debian 12 machine: they install what is missing first.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
ARM64_BUILD ?= build-arm64
JOBS       ?= $(shell nproc)
GENERATOR  ?= Ninja

DEB_PACKAGES := build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
	libusb-1.0-0-dev libuv1-dev libarchive-dev libsqlite3-dev sqlite3 libgtest-dev libgmock-dev \
	libbenchmark-dev libopencv-dev libopenni2-dev libpng-dev libcli11-dev valgrind \
	clang-format doxygen umockdev libumockdev-dev libboost-dev libjs-three chromium chromium-driver \
	python3-selenium

# The Python package's tests, examples and installs (Debian's interpreter).
DEB_PACKAGES += python3-numpy python3-pytest python3-matplotlib python3-setuptools python3-pip \
	python3-wheel

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps deps-arm64 build test test-normal test-asan test-tsan test-arm64 bench demo \
	examples clean docs check-docs check-format

all: build

# Installs those of the packages $(1) that are not installed yet.
define install_missing
	@missing=""; for p in $(1); do \
		dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		$(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(DEB_PACKAGES))

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test-normal: build check-docs check-format
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
		-DKAVRI_SANITIZE=address,undefined -DKAVRI_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -LE no_asan

# The threaded paths under ThreadSanitizer (tests labelled "threads", and the
# real-libusb tier, whose every test is threaded).
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
		-DKAVRI_SANITIZE=thread -DKAVRI_BUILD_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L 'threads|real_usb'

# Every exported declaration of the public headers carries a comment.
check-docs:
	sh tools/check_docs.sh

# The project's C and C++ sources as .clang-format wants them.
FORMAT_DIRS := include src sim tests fuzz tools examples bench
check-format: deps
	find $(FORMAT_DIRS) -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 | \
		xargs -0 clang-format --dry-run -Werror

# The reference page of the public headers: $(BUILD)/docs/html/index.html.
docs: deps check-docs
	@mkdir -p $(BUILD)/docs
	( cat docs/Doxyfile; echo "OUTPUT_DIRECTORY = $(abspath $(BUILD))/docs" ) | doxygen -

test: test-normal test-asan test-tsan fuzz-ci test-valgrind examples test-arm64

# arm64: Debian's cross toolchain and the arm64 libraries (multiarch), the
# tests run under qemu-user, each test program as one test with its time
# limits stretched. Left out there, each because it cannot run: the Python
# package's tests (the host's interpreter cannot load an arm64 library), the
# browser test and the command-line tests that start the build's programs
# (an emulated test cannot start another arm64 program without a binfmt_misc
# emulator, a setting of the whole machine), the OpenNI2 playback (the same),
# the OpenCV peer tests (OpenCV's arm64 packages would add some 340 packages)
# and the real-libusb tier (umockdev's preload would have to run inside the
# emulated process, and libumockdev-dev:arm64 would replace the host's one,
# which the other stages use; without it the tier leaves itself out).
# Release without -g compiles fastest, and the tests' own sources at -O1 in
# two thirds of the time (the library and the simulator keep -O3). The
# emulated tests mostly wait on the simulated cameras' pace: twice as many
# run at once as there are cores.
ARM64_TEST_JOBS ?= $(shell echo $$(( 2 * $(JOBS) )))
# libc6 and libstdc++6 for arm64: the loader and libraries the emulated
# programs run with (the toolchain file's comment says why not the cross
# toolchain's).
ARM64_PACKAGES := crossbuild-essential-arm64 qemu-user libc6:arm64 libstdc++6:arm64 \
	libusb-1.0-0-dev:arm64 libuv1-dev:arm64 libarchive-dev:arm64 libsqlite3-dev:arm64 \
	libgtest-dev:arm64 libgmock-dev:arm64 libpng-dev:arm64 libboost-dev:arm64

deps-arm64: deps
	@dpkg --print-foreign-architectures | grep -qx arm64 || { \
		$(SUDO) dpkg --add-architecture arm64 && $(SUDO) apt-get update -qq; }
	$(call install_missing,$(ARM64_PACKAGES))

test-arm64: deps-arm64
	cmake -S . -B $(ARM64_BUILD) -G $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
		-DCMAKE_BUILD_TYPE=Release -DKAVRI_BUILD_BENCH=OFF -DKAVRI_TEST_COMPILE_OPTIONS=-O1
	cmake --build $(ARM64_BUILD) -j $(JOBS)
	ctest --test-dir $(ARM64_BUILD) --output-on-failure -j $(ARM64_TEST_JOBS)

# libFuzzer targets (clang, ASan+UBSan): `make fuzz` runs each for
# FUZZ_SECONDS, CI a fixed number of executions each (repeatable, capped at
# FUZZ_CI_SECONDS); corpora grow in $(FUZZ_BUILD).
FUZZ_BUILD      ?= build-fuzz
FUZZ_SECONDS    ?= 300
FUZZ_CI_SECONDS ?= 60
define fuzz_build
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKAVRI_BUILD_FUZZ=ON -DKAVRI_SANITIZE=address,undefined -DKAVRI_BUILD_TESTS=OFF \
		-DKAVRI_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all
endef

fuzz: deps
	$(fuzz_build)
	fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-ci: deps
	$(fuzz_build)
	FUZZ_CI=1 fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_CI_SECONDS)

# The capture tests once under valgrind memcheck: no error, no leak. valgrind
# runs one thread at a time; fair scheduling keeps the event thread, busy
# making free-running frames, from holding the application's thread off for
# tens of minutes.
test-valgrind: build
	valgrind --quiet --fair-sched=yes --error-exitcode=1 --leak-check=full \
		--errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
		$(BUILD)/tests/test_api_capture --gtest_brief=1

# The long soak: two cameras, SOAK_FRAMES frames each, faults and changes;
# then SOAK_SECONDS of the application mixture (three cameras, capture,
# control and filter threads, closes and unplugs among them).
SOAK_FRAMES  ?= 20000
SOAK_SECONDS ?= 600
soak: build
	KAVRI_SOAK_FRAMES=$(SOAK_FRAMES) $(BUILD)/tests/test_soak
	KAVRI_STRESS_SECONDS=$(SOAK_SECONDS) $(BUILD)/tests/test_api_stress

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] || continue; \
		case "$$b" in *_usbfs) sim/usbfs/usbfs-run.sh "$$b" ;; *) "$$b" ;; esac; done

# The main job on a simulated camera; outputs in demo-out/.
demo: build
	@sh tools/demo.sh $(BUILD) demo-out

# The examples built against the installed package, through find_package and
# through pkg-config, each run on the simulator.
EXAMPLES_PREFIX := $(abspath $(BUILD))/install
EXAMPLES_LIBDIR := $(EXAMPLES_PREFIX)/lib
examples: build
	cmake --install $(BUILD) --prefix $(EXAMPLES_PREFIX) >/dev/null
	cmake -S examples -B $(BUILD)/examples-cmake -G $(GENERATOR) -DCMAKE_PREFIX_PATH=$(EXAMPLES_PREFIX)
	cmake --build $(BUILD)/examples-cmake
	PKG_CONFIG_PATH=$(EXAMPLES_LIBDIR)/pkgconfig cmake -S examples -B $(BUILD)/examples-pkgconfig \
		-G $(GENERATOR) -DKAVRI_EXAMPLES_USE_PKGCONFIG=ON
	cmake --build $(BUILD)/examples-pkgconfig
	@mkdir -p $(BUILD)/examples-run
	@for kind in cmake pkgconfig; do for ex in sync_capture callback_capture point_cloud_ply; do \
		echo "== $$ex ($$kind)"; \
		(cd $(BUILD)/examples-run && LD_LIBRARY_PATH=$(EXAMPLES_LIBDIR) \
			CAMSIM_LIBRARY=$(EXAMPLES_LIBDIR)/libkavri_camsim.so \
			$(EXAMPLES_PREFIX)/bin/camsim-run $(abspath $(BUILD))/examples-$$kind/$$ex) || exit 1; \
	done; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(ARM64_BUILD)
