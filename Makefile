# Quick start: `make demo` and `make test` on a fresh Debian machine.
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer in build-san/.
# TSAN=1 builds only the instance-table tests with ThreadSanitizer in build-tsan/ and runs
# only the ones that use several threads.

JOBS ?= 2
ifeq ($(TSAN),1)
BUILD ?= build-tsan
CMAKE_FLAGS += -DAMBREVO_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREVO_BENCH=OFF -DAMBREVO_HOST=OFF
BUILD_TARGETS = --target test_adaptor
TEST_SELECTION = -R '^Isolation\.'
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
endif

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@./scripts/deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS) $(BUILD_TARGETS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) $(TEST_SELECTION)

demo: build
	./scripts/demo.sh $(BUILD)

bench: build
	./scripts/bench.sh $(BUILD)

# Coverage-guided fuzzing (clang, libFuzzer, ASan, UBSan): every target for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

clean:
	rm -rf build build-san build-tsan
