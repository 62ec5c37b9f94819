# Two entry points for a fresh Debian 12 machine, run as root:
#   make demo   - install what is missing, build, run the sandboxed demonstration
#   make check  - install what is missing, build, run every test
# and two ways onto a server:
#   make install [PREFIX=/usr/local] [DESTDIR=]  - the program and its manual page
#   make package - a Debian package of them, in $(BUILD)
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build check demo bench soak clean format program install package

all: build

deps:
	sh tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The program, its manual page and the package's changelog; no test.
program: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS) --target mxadmin mxadmin_man mxadmin_changelog

# Stripped, as in the package: the debugging data stays in the build tree.
install: program
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

package: program
	cd $(BUILD) && cpack -G DEB

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
