# Thin wrapper around CMake so that a newcomer needs two commands:
#   make test    build everything and run every test
#   make demo    build, then download from a small demo site on loopback
#
# SANITIZE=1 builds into build-san with AddressSanitizer and
# UndefinedBehaviorSanitizer, e.g. `make test SANITIZE=1`. STATIC=1 builds
# into build-static a program linked statically, C library and OpenSSL
# included (smaller and quicker to start, but it takes no security fixes from
# the system's libraries: see docs/performance.md).

SANITIZE ?= 0
STATIC ?= 0
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
DESTDIR ?=

ifeq ($(SANITIZE),1)
BUILD_DIR := build-san
CMAKE_FLAGS := -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else ifeq ($(STATIC),1)
BUILD_DIR := build-static
CMAKE_FLAGS := -DQUORVANE_STATIC=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
else
BUILD_DIR := build
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif

.PHONY: all build test demo bench fuzz campaign install uninstall format clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	bash examples/demo.sh $(BUILD_DIR)/quorvane

# Benchmark against curl and wget on loopback (bench/run.sh says what it
# measures); never part of `make test`. BIN=path measures another build
# instead of building this one; RUNS=, SIZE= and the other settings of
# bench/run.sh pass through.
bench: $(if $(BIN),,build)
	BIN='$(or $(BIN),$(BUILD_DIR)/quorvane)' bash bench/run.sh

# Installation, as packaging expects (`make install PREFIX=/usr DESTDIR=...`):
# the program, its manual page and the example configuration. CMake lists the
# files it installs in $(BUILD_DIR)/install_manifest.txt, without DESTDIR;
# install keeps in $(INSTALLED) the destination on the first line and then
# those files with DESTDIR. `make uninstall` removes exactly these files, and
# the examples folder once it is empty; it refuses a list written for another
# PREFIX or DESTDIR.
INSTALL_ROOT := $(DESTDIR)$(patsubst %/,%,$(PREFIX))
INSTALLED := $(BUILD_DIR)/installed-files.txt

install: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorvane
	DESTDIR='$(DESTDIR)' cmake --install $(BUILD_DIR) --prefix '$(PREFIX)'
	{ echo '$(INSTALL_ROOT)'; awk -v root='$(DESTDIR)' '{ print root $$0 }' \
	  $(BUILD_DIR)/install_manifest.txt; } > '$(INSTALLED)'

uninstall:
	@test -f '$(INSTALLED)' || { echo "uninstall: no $(INSTALLED); nothing was installed from this build" >&2; exit 1; }
	@IFS= read -r root < '$(INSTALLED)'; [ "$$root" = '$(INSTALL_ROOT)' ] || \
	  { echo "uninstall: installed under $$root, not $(INSTALL_ROOT) (give the PREFIX and DESTDIR of the install)" >&2; exit 1; }
	@tail -n +2 '$(INSTALLED)' | while IFS= read -r f; do \
	  case "$$f" in '$(INSTALL_ROOT)'/*) ;; *) echo "uninstall: skipping $$f" >&2; continue;; esac; \
	  echo "-- Removing: $$f"; rm -f "$$f" || exit 1; \
	done
	@rmdir '$(INSTALL_ROOT)/share/quorvane/examples' '$(INSTALL_ROOT)/share/quorvane' 2>/dev/null || true
	@rm -f '$(INSTALLED)'

# Fuzzing: builds the libFuzzer targets with clang into build-fuzz (never
# touching the normal build) and runs each for FUZZ_SECONDS, then prints
# executions and coverage per target (fuzz/run.sh). Needs clang-14 and
# libclang-rt-14-dev.
FUZZ_SECONDS ?= 60

fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

# The campaign of broken servers against this build's program
# (build/quorvane, or build-san/quorvane with SANITIZE=1): CAMPAIGN_RUNS
# exchanges, then a table of kinds of damage against exit statuses.
CAMPAIGN_RUNS ?= 2000

campaign: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorvane
	cmake -S tests/campaign -B build-campaign -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-campaign -j $(JOBS)
	build-campaign/campaign --binary $(BUILD_DIR)/quorvane --runs $(CAMPAIGN_RUNS)

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build build-san build-static build-fuzz build-campaign
