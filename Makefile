# Two commands for a newcomer: `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
# Warnings stop the build only where asked (CI: WERROR=ON).
WERROR ?= OFF

.PHONY: run test build deps bench screenshots clean sanitize fuzz install package
PREFIX ?= /usr/local

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_WERROR=$(WERROR)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/Kestrune

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=$(WERROR)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# libFuzzer builds of the parsers (clang).
fuzz:
	@scripts/install-deps --fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzzers

screenshots: build
	cmake --build $(BUILD) --target kestrune_screenshots
	$(BUILD)/kestrune_screenshots $(BUILD)/screenshots

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks

# Installs into PREFIX (under DESTDIR when it is given), as a package would.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the program, in the folder above this one.
package: deps
	dpkg-buildpackage -us -uc -b

clean:
	rm -rf $(BUILD) build-asan build-fuzz
