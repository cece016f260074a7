# Quick start: `make demo` and `make test` on a fresh Debian machine.
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer in build-san/.

JOBS ?= 2
ifeq ($(SANITIZE),1)
BUILD ?= build-san
CMAKE_FLAGS += -DAMBREVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DAMBREVO_BENCH=OFF
else
BUILD ?= build
CMAKE_FLAGS += -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@./scripts/deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	./scripts/demo.sh $(BUILD)

bench: build
	./scripts/bench.sh $(BUILD)

clean:
	rm -rf build build-san
