# Each target first installs the Debian packages it needs (as root; otherwise
# it names the missing ones and stops).
# make               builds build/quorvane
# make run [SECONDS=30]  installs what the build needs, builds, runs here
# make test          installs what the tests need, builds and runs them all
# make windows       cross-builds build-windows/quorvane.exe (and the fake wpcap.dll)
# make package       builds the Debian package in build/
# make bench         quorvane against tcpdump on veth links (root)
# make lint          clang-format and clang-tidy over the sources
.PHONY: all build run test windows package bench lint deps-build deps-package deps-test \
        deps-bench deps-lint

all: build

build: deps-build
	cmake --preset default >/dev/null
	cmake --build --preset default

deps-build:
	tools/install-deps build

deps-package:
	tools/install-deps package

deps-test:
	tools/install-deps test

deps-bench:
	tools/install-deps bench

deps-lint:
	tools/install-deps lint

run: build
	./build/quorvane $(SECONDS)

windows:
	tools/install-deps windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows

test: deps-test windows
	cmake --preset test >/dev/null
	cmake --build --preset test
	ctest --preset test
	$(MAKE) --no-print-directory lint

package: deps-package build
	cd build && cpack -G DEB

bench: deps-bench build
	bench/run
	bench/long-run 600

lint: deps-lint
	tools/lint
