# Quick start: `make demo` and `make test`. Both install what a fresh Debian
# machine lacks first (needs root, as on the build machines).
SHELL := /bin/bash
.DEFAULT_GOAL := test

# wine64-preloader: without it Wine cannot reserve its fixed addresses before
# the C library's heap lands there, and now and then a program dies before it
# runs ("failed to map the shared user data"), which its parent's
# CreateProcessW reports as ERROR_INTERNAL_ERROR. chromium: the log viewer's
# report page is tested in a real browser.
DEB_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 \
                wine64-preloader \
                nlohmann-json3-dev libcli11-dev googletest clang libclang-rt-14-dev clang-format \
                lld-14 llvm-14 libc++-14-dev nodejs openssl python3 util-linux \
                nsis osslsigncode zip chromium

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' '*.cc' 2>/dev/null)

.PHONY: deps configure-windows configure-windows-addon configure-native build-windows \
        build-windows-addon build-native test test-windows test-native demo format format-check clean \
        release release-check release-reproducible

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	command -v npm >/dev/null || missing="$$missing npm"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

configure-windows: deps
	cmake --preset windows >/dev/null

configure-windows-addon: deps
	cmake --preset windows-addon >/dev/null

configure-native: deps
	cmake --preset native >/dev/null

build-windows: configure-windows
	cmake --build --preset windows

build-windows-addon: configure-windows-addon
	cmake --build --preset windows-addon

build-native: configure-native
	cmake --build --preset native

test-windows: build-windows
	ctest --preset windows

test-native: build-native
	ctest --preset native

test:
	@tools/timed_phases.sh \
	  packages "$(MAKE) --no-print-directory deps" \
	  "format check" "$(MAKE) --no-print-directory format-check" \
	  "Windows build" "$(MAKE) --no-print-directory build-windows-addon build-windows" \
	  "Windows tests" "ctest --preset windows" \
	  "native build" "$(MAKE) --no-print-directory build-native" \
	  "native tests" "ctest --preset native"

# The release an application team takes (README, "Adopting the companion"):
#   VYN_VERIFY_PASSPHRASE=... make release VERSION=x.y.z
#   (or VYN_VERIFY_PASSPHRASE_FILE=<file>; SIGN_PKCS12=... SIGN_PASSWORD=...
#   or SIGN_PASSWORD_FILE=...; ADDON_HEADERS=... ADDON_HOST=...|ADDON_NODE_LIB=...)
# release-check checks the same inputs and stops. release.sh refuses its
# inputs before it installs packages (make deps) or builds anything.
# The secrets come from the environment or a file, never from make's command
# line: make rewrites every $ in a value given there (and runs what $(...)
# in it says), and the value shows in the process list for the whole build.
# Those taken from the environment reach release.sh untouched.
RELEASE_SECRETS := VYN_VERIFY_PASSPHRASE SIGN_PASSWORD
refuse_secret_arguments = $(foreach v,$(RELEASE_SECRETS),$(if $(filter command line,$(origin $(v))),\
  $(error $(v) on make's command line is refused: make has already rewritten any $$ in it and \
  it shows in the process list. Set it in the environment ($(v)=... make ...) or name a file \
  holding it in $(v)_FILE)))

release:
	$(refuse_secret_arguments)
	tools/release/release.sh

release-check:
	$(refuse_secret_arguments)
	@tools/release/release.sh --check

# Two release builds of this commit in different folders and under
# different umasks, compared byte for byte (minutes: not part of `make test`).
release-reproducible:
	$(refuse_secret_arguments)
	tools/release/reproducible_check.sh

demo: build-windows
	tools/demo.sh build/windows

format:
	clang-format -i $(FORMAT_FILES)

format-check: deps
	@clang-format --dry-run -Werror $(FORMAT_FILES)

clean:
	rm -rf build

# Fuzzing: each target for FUZZ_SECONDS, one after the other, on a work
# corpus that persists and grows from run to run (seeded from
# tests/fuzz/corpus). A finding is kept in $(FUZZ_BUILD_DIR)/fuzz-artifacts.
FUZZ_SECONDS ?= 60
FUZZ_BUILD_DIR ?= build/native
FUZZ_TARGETS := verify_config stderr_collector log_rotation command_line quoting output_parse \
                ready_protocol run_splitter

.PHONY: fuzz

fuzz: deps
	cmake --preset native -B $(FUZZ_BUILD_DIR) >/dev/null
	cmake --build $(FUZZ_BUILD_DIR) -j2 --target $(addsuffix _fuzz,$(FUZZ_TARGETS))
	@failed=""; \
	for t in $(FUZZ_TARGETS); do \
	  corpus=$(FUZZ_BUILD_DIR)/fuzz-corpus/$$t; artifacts=$(FUZZ_BUILD_DIR)/fuzz-artifacts/$$t; \
	  log=$$artifacts/last-run.log; \
	  mkdir -p $$corpus $$artifacts && cp tests/fuzz/corpus/$$t/* $$corpus/; \
	  if $(FUZZ_BUILD_DIR)/bin/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       -artifact_prefix=$$artifacts/ $$corpus >$$log 2>&1; then \
	    execs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $$log); \
	    secs=$$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' $$log); \
	    echo "$$t: $$execs executions in $$secs s, no finding"; \
	  else \
	    echo "$$t: FINDING, see $$log"; failed="$$failed $$t"; \
	  fi; \
	done; \
	if [ -n "$$failed" ]; then echo "findings in:$$failed"; exit 1; fi
