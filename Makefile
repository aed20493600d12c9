# Each target first installs the Debian packages it needs, in one step (as
# root; otherwise it names the missing ones and stops), so that make -j never
# runs two package installs at once.
# make               builds build/quorvane
# make run [SECONDS=30]  installs what the build needs, builds, runs here
# make test          installs what the tests need, builds and runs them all
# make windows       cross-builds build-windows/quorvane.exe (and the fake wpcap.dll)
# make package       builds the Debian package in build/
# make bench         quorvane against tcpdump on veth links, frames and TCP, on a slow disk (root)
# make lint          clang-format and clang-tidy over the sources
.PHONY: all build run test windows package bench lint

BUILD = cmake --preset default >/dev/null && cmake --build --preset default
WINDOWS_BUILD = cmake --preset windows >/dev/null && cmake --build --preset windows

all: build

build:
	tools/install-deps build
	$(BUILD)

run:
	tools/install-deps build
	$(BUILD)
	./build/quorvane $(SECONDS)

windows:
	tools/install-deps windows
	$(WINDOWS_BUILD)

# The test packages include what the Windows build and lint need.
test:
	tools/install-deps test
	$(WINDOWS_BUILD)
	cmake --preset test >/dev/null
	cmake --build --preset test
	ctest --preset test
	tools/lint

package:
	tools/install-deps package
	$(BUILD)
	cd build && cpack -G DEB

bench:
	tools/install-deps bench
	$(BUILD)
	bench/run
	bench/fast-links
	bench/slow-disk
	bench/long-run 600

lint:
	tools/install-deps lint
	tools/lint
