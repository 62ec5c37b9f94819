# Two entry points for a fresh Debian 12 machine, run as root:
#   make demo   - install what is missing, build, run the sandboxed demonstration
#   make check  - install what is missing, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build check demo bench soak clean format

all: build

deps:
	sh tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	sh tools/demo.sh $(BUILD)

bench: build
	@if [ -x tools/bench.sh ]; then sh tools/bench.sh $(BUILD); else echo "no benchmarks yet"; fi

clean:
	rm -rf $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cc' '*.h' '*.c')

# Longer runs kept out of `make check`: sanitizer build and soak tests.
include tools/sanitize.mk
include tools/soak.mk
include tools/coverage.mk
