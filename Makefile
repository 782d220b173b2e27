# Quick start: `make demo` and `make test`. Both install what a fresh Debian
# machine lacks first (needs root, as on the build machines).
SHELL := /bin/bash
.DEFAULT_GOAL := test

DEB_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 \
                nlohmann-json3-dev libcli11-dev googletest clang libclang-rt-14-dev clang-format \
                nodejs openssl python3 util-linux

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' '*.cc' 2>/dev/null)

.PHONY: deps configure-windows configure-native build-windows build-native test test-windows \
        test-native demo format format-check clean

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

configure-windows: deps
	cmake --preset windows >/dev/null

configure-native: deps
	cmake --preset native >/dev/null

build-windows: configure-windows
	cmake --build --preset windows

build-native: configure-native
	cmake --build --preset native

test-windows: build-windows
	ctest --preset windows

test-native: build-native
	ctest --preset native

test: format-check test-windows test-native

demo: build-windows
	tools/demo.sh build/windows

format:
	clang-format -i $(FORMAT_FILES)

format-check: deps
	@clang-format --dry-run -Werror $(FORMAT_FILES)

clean:
	rm -rf build
