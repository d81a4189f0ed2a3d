# Thin front for the CMake presets. `make run` and `make test` are all a newcomer needs.
BRIVOK_ROOT ?= https://www.brivok.com/
ROOT_FLAG := -DBRIVOK_ROOT=$(BRIVOK_ROOT)

.PHONY: all deps build build32 build64 release check test test-release32 faults run run32 bench clean

all: build

# `make run`, `make run32` and `make bench` configure the 64-bit build and build only the
# targets their scripts run, not GoogleTest and every test program.
CONFIGURE64 = cmake --preset win64 $(ROOT_FLAG) >/dev/null

# What each job needs, installed when missing (scripts/install-deps.sh).
deps:
	@scripts/install-deps.sh test

build32:
	@scripts/install-deps.sh build
	cmake --preset win32 $(ROOT_FLAG) >/dev/null
	cmake --build --preset win32

build64:
	@scripts/install-deps.sh build
	$(CONFIGURE64)
	cmake --build --preset win64

# The 64-bit tests read the 32-bit image too, so it is built first.
build: build32 build64

# The 32-bit release, Authenticode-signed into dist/release/ (key and certificate: README).
release:
	$(MAKE) build32
	BRIVOK_ROOT=$(BRIVOK_ROOT) scripts/sign-release.sh dist/win32/BrivokButtons.exe dist/release/BrivokButtons.exe

# The subsystems' own test programs alone: the loop to work in, about a minute.
check: deps
	$(MAKE) build
	ctest --preset check

test: deps
	$(MAKE) build
	ctest --preset win64

# Every case of the end-to-end driver on the 32-bit release (tests/wow64/), and the release
# built twice to the same bytes.
test-release32: deps
	$(MAKE) build
	ctest --preset release32

# Every call of the installer failed in turn, at every place and in every way (tests/faults/).
faults: deps
	$(MAKE) build
	ctest --preset faults

# The 64-bit installer and the box reader (tests/tools/boxreader.cpp).
run:
	@scripts/install-deps.sh run
	$(CONFIGURE64)
	cmake --build --preset win64 --target BrivokButtons boxreader
	scripts/run-installer.sh

# The 32-bit release (or EXE=/absolute/path.exe) in the 32-bit root; see the README. Builds
# the release and the 32-bit helpers, the box reader among them (tests/wow64/tools32/).
run32:
	@scripts/install-deps.sh run32
	$(MAKE) build32
	$(CONFIGURE64)
	cmake --build --preset win64 --target brivok_tools32
	scripts/run-installer32.sh $(EXE)

# The reference program, and both images, whose sizes the report ends with (the script
# builds its own installer for the local root).
bench:
	@scripts/install-deps.sh run
	$(MAKE) build32
	$(CONFIGURE64)
	cmake --build --preset win64 --target BrivokButtons bench_reference
	scripts/bench.sh

clean:
	rm -rf build dist
