# Thin wrapper around CMake so that a newcomer needs two commands:
#   make test    build everything and run every test
#   make demo    build the program only, then download from a small demo
#                site on loopback
#
# SANITIZE=1 builds into build-san with AddressSanitizer and
# UndefinedBehaviorSanitizer, e.g. `make test SANITIZE=1`. STATIC=1 builds
# into build-static a program linked statically, C library and OpenSSL
# included (smaller and quicker to start, but it takes no security fixes from
# the system's libraries: see docs/performance.md). WERROR=1 makes compiler
# warnings errors (CI's first build); a later build without it switches the
# same build folder back.

SANITIZE ?= 0
STATIC ?= 0
WERROR ?= 0
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

ifeq ($(WERROR),1)
WERROR_SETTING := ON
else
WERROR_SETTING := OFF
endif

.PHONY: all configure build test demo bench fuzz campaign install uninstall format format-check clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DQUORVANE_WERROR=$(WERROR_SETTING) \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX)

# An existing build folder configured with the other WERROR setting is
# configured again.
configure: $(BUILD_DIR)/CMakeCache.txt
	@grep -qx 'QUORVANE_WERROR:BOOL=$(WERROR_SETTING)' $(BUILD_DIR)/CMakeCache.txt || \
	  cmake -S . -B $(BUILD_DIR) -DQUORVANE_WERROR=$(WERROR_SETTING)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The program alone: the test programs are not built.
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorvane
	bash examples/demo.sh $(BUILD_DIR)/quorvane

# Benchmark against curl and wget on loopback (bench/run.sh says what it
# measures); never part of `make test`. BIN=path measures another build
# instead of building this one; RUNS=, SIZE= and the other settings of
# bench/run.sh pass through.
bench: $(if $(BIN),,build)
	BIN='$(or $(BIN),$(BUILD_DIR)/quorvane)' bash bench/run.sh

# Installation, as packaging expects (`make install PREFIX=/usr DESTDIR=...`):
# the program stripped of its debugging symbols, its manual page, the plugin
# authors' guide (share/doc/quorvane/) and the example configuration
# (share/quorvane/examples/). CMake lists the files it installs in
# $(BUILD_DIR)/install_manifest.txt, without DESTDIR; install keeps in
# $(INSTALLED) the destination on the first line and then those files with
# DESTDIR. `make uninstall` removes exactly these files, and the folders of
# the project once they are empty; it refuses a list written for another
# PREFIX or DESTDIR.
INSTALL_ROOT := $(DESTDIR)$(patsubst %/,%,$(PREFIX))
INSTALLED := $(BUILD_DIR)/installed-files.txt

install: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorvane
	DESTDIR='$(DESTDIR)' cmake --install $(BUILD_DIR) --prefix '$(PREFIX)' --strip
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
	@rmdir '$(INSTALL_ROOT)/share/quorvane/examples' '$(INSTALL_ROOT)/share/quorvane' \
	  '$(INSTALL_ROOT)/share/doc/quorvane' 2>/dev/null || true
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
# CAMPAIGN_KINDS=a,b runs only the kinds named, optional ones included.
CAMPAIGN_RUNS ?= 2000
CAMPAIGN_KINDS ?=

campaign: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorvane
	cmake -S tests/campaign -B build-campaign -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-campaign -j $(JOBS)
	build-campaign/campaign --binary $(BUILD_DIR)/quorvane --runs $(CAMPAIGN_RUNS) \
	  $(if $(CAMPAIGN_KINDS),--kinds $(CAMPAIGN_KINDS))

# Formatting of the tracked C++ files with the repository's .clang-format.
# format-check changes nothing and fails when a file differs from the
# formatter's output. clang-format-14 when present: other versions format
# some constructs differently.
CLANG_FORMAT ?= $(shell command -v clang-format-14 || command -v clang-format)

format:
	@test -n '$(CLANG_FORMAT)' || { echo "format: neither clang-format-14 nor clang-format found" >&2; exit 2; }
	'$(CLANG_FORMAT)' -i $$(git ls-files '*.cc' '*.h')

format-check:
	@test -n '$(CLANG_FORMAT)' || { echo "format-check: neither clang-format-14 nor clang-format found" >&2; exit 2; }
	@files=$$(git ls-files '*.cc' '*.h') || exit 2; status=0; \
	for f in $$files; do \
	  '$(CLANG_FORMAT)' --style=file "$$f" | cmp -s - "$$f" || \
	    { echo "format-check: $$f differs from $(CLANG_FORMAT)'s output" >&2; status=1; }; \
	done; \
	[ $$status -eq 0 ] || echo "format-check: \`make format\` rewrites them" >&2; \
	exit $$status

clean:
	rm -rf build build-san build-static build-fuzz build-campaign
