# The two commands of the README: `make run` and `make test`. Both install what is missing.
# A publisher's `make release` and `make package` build in Release mode with the key of
# KEY_DIR (made by kelvora-publish keygen), in folders of their own.
JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build build-win test run run-second bench clean release release-builds package

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

# The version the programs carry (base/version.hpp), the notes the update screen shows,
# the folder to upload and the address it is served at (the programs' own by default).
VERSION ?= $(shell sed -n 's/.*kVersion = "\([0-9.]*\)".*/\1/p' base/version.hpp)
NOTES ?= manual/texts/novedades.md
OUT ?= publicada
URL ?=

# The public half as keygen wrote it; the tool checks that the private half matches it.
release-builds: deps
	@test -n "$(KEY_DIR)" || { echo "Uso: make release KEY_DIR=<carpeta de kelvora-publish keygen> [OUT=publicada] [URL=https://sitio/ruta/]" >&2; exit 2; }
	@key=$$(sed -n 1p "$(KEY_DIR)/llave_publica.txt") && \
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKELVORA_UPDATE_KEY=$$key >/dev/null && \
	cmake -S . -B build-release-win -DCMAKE_BUILD_TYPE=Release -DKELVORA_UPDATE_KEY=$$key \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
	@cmake --build build-release -j$(JOBS) --target kelvora kelvora-publish
	@cmake --build build-release-win -j$(JOBS) --target Kelvora

release: release-builds
	@build-release/kelvora-publish release --key "$(KEY_DIR)" --version $(VERSION) \
	    --notes $(NOTES) --linux build-release/kelvora --windows build-release-win/Kelvora.exe \
	    --out "$(OUT)" $(if $(URL),--url "$(URL)")

# build-release/paquetes/kelvora_<version>_amd64.deb and kelvora-signal_<version>_amd64.deb
package: release-builds
	@cmake --build build-release -j$(JOBS) --target kelvora kelvora-signal kelvora_package_texts
	@cd build-release && cpack -G DEB -B paquetes

clean:
	rm -rf build build-win build-release build-release-win
