# make       optimised build into build/
# make test  installs missing Debian packages, builds with sanitizers into build-asan/, runs every test
# make demo  builds and runs the demonstration on a generated sample
# make tsan  builds the multi-threaded tests with ThreadSanitizer into build-tsan/ and runs them
# make fuzz  builds the fuzz targets with clang/libFuzzer and runs each for FUZZ_SECONDS
JOBS ?= $(shell nproc)

.PHONY: all build test deps demo fuzz tsan clean

all: build

build: build/build.ninja
	cmake --build build -j $(JOBS)

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLORY_BUILD_TESTS=OFF

deps:
	./scripts/install-deps.sh

build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLORY_SANITIZE=ON -DTALLORY_BUILD_TESTS=ON

test: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

demo: deps build
	./scripts/demo.sh build

tsan: deps
	JOBS=$(JOBS) ./scripts/run-tsan.sh build-tsan

# libFuzzer builds of every fuzz target, each run for FUZZ_SECONDS on its corpus.
FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALLORY_FUZZ=ON -DTALLORY_SANITIZE=ON -DTALLORY_BUILD_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	./scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan
