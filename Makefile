# The two commands of the README: `make run` and `make test`. Both install what is missing.
JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build build-win test run run-second bench clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build build -j$(JOBS)

build-win: deps
	@cmake -S . -B build-win -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
	@cmake --build build-win -j$(JOBS)

test: build build-win
	@ctest --test-dir build --output-on-failure

run: build
	@scripts/run.sh

run-second: build
	@scripts/run-second.sh

bench: build
	@bash bench/all.sh

clean:
	rm -rf build build-win
