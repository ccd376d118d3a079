# make       optimised build into build/
# make test  installs missing Debian packages, builds with sanitizers into build-asan/, runs every test
# make demo  builds and runs the demonstration on a generated sample
JOBS ?= $(shell nproc)

.PHONY: all build test deps demo clean

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

clean:
	rm -rf build build-asan
