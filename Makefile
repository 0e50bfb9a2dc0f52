# Thin wrapper around CMake so that a newcomer needs two commands:
#   make test    build everything and run every test
#   make demo    build, then download from a small demo site on loopback
#
# SANITIZE=1 builds into build-san with AddressSanitizer and
# UndefinedBehaviorSanitizer, e.g. `make test SANITIZE=1`.

SANITIZE ?= 0
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
DESTDIR ?=

ifeq ($(SANITIZE),1)
BUILD_DIR := build-san
CMAKE_FLAGS := -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
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

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build build-san
