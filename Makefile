# Quick start: `make demo` and `make test` on a fresh Debian machine.
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer in build-san/.
# TSAN=1 builds the module, the program and the tests that run them on several threads with
# ThreadSanitizer in build-tsan/ and runs those: the instance table and the program's threaded
# frame loop (against the serial one, stopped by a signal, stopped by the module, with the start
# of a run settled backwards behind it).

JOBS ?= 2
ifeq ($(TSAN),1)
BUILD ?= build-tsan
CMAKE_FLAGS += -DAMBREVO_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREVO_BENCH=OFF -DAMBREVO_GUI=OFF
BUILD_TARGETS = --target test_adaptor test_host_cli test_host_identity_cli
TEST_SELECTION = -R '^(Isolation\.|HostPipeline\.|HostSignals\.SigintAndSigterm|HostErrors\.AModuleMessage|IdentityCli\.TheStartSettled)'
else ifeq ($(SANITIZE),1)
BUILD ?= build-san
CMAKE_FLAGS += -DAMBREVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DAMBREVO_BENCH=OFF
else
BUILD ?= build
CMAKE_FLAGS += -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif

# Rebuilds in several checkouts share compiled objects when ccache is installed.
ifneq ($(shell command -v ccache 2>/dev/null),)
CMAKE_FLAGS += -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR := $(CURDIR)
endif

# Windows: the module cross-built with MinGW-w64 into build-win32/ and build-win64/ (each
# with its Ambrevo.qorb), and their tests: the DLL checks, and under Wine those of the 64-bit
# build. `make test` runs them too when the cross compilers are installed
# (./scripts/deps.sh windows installs them and Wine).
WINDOWS_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREVO_HOST=OFF -DAMBREVO_BENCH=OFF \
                $(filter -DCMAKE_%_COMPILER_LAUNCHER=ccache,$(CMAKE_FLAGS))
HAVE_MINGW := $(shell command -v i686-w64-mingw32-g++-posix >/dev/null && \
                      command -v x86_64-w64-mingw32-g++-posix >/dev/null && echo yes)

.PHONY: all deps configure build test demo bench clean windows windows-test

all: build

deps:
	@./scripts/deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS) $(BUILD_TARGETS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) $(TEST_SELECTION)
ifeq ($(BUILD)$(HAVE_MINGW),buildyes)
	@$(MAKE) --no-print-directory windows-test
endif

windows:
	@./scripts/deps.sh windows
	cmake -S . -B build-win32 --toolchain cmake/mingw-i686.cmake $(WINDOWS_FLAGS)
	cmake --build build-win32 -j $(JOBS)
	cmake -S . -B build-win64 --toolchain cmake/mingw-x86_64.cmake $(WINDOWS_FLAGS)
	cmake --build build-win64 -j $(JOBS)

# The 64-bit host's output is compared with its Linux twin's from build/.
windows-test: windows
	cmake --build build --target win_host ambrevo_module -j $(JOBS)
	ctest --test-dir build-win32 --output-on-failure -j $(JOBS)
	ctest --test-dir build-win64 --output-on-failure -j $(JOBS)

# Only what the demo needs: its packages, the program and the module.
demo:
	./scripts/demo_build.sh $(BUILD) $(JOBS) $(CMAKE_FLAGS)
	./scripts/demo.sh $(BUILD)

bench: build
	./scripts/bench.sh $(BUILD)

# Coverage-guided fuzzing (clang, libFuzzer, ASan, UBSan): every target for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

clean:
	rm -rf build build-san build-tsan build-win32 build-win64
