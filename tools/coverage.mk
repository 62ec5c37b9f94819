# coverage.mk - line and branch coverage of the program's code (lib/,
# process/, mail/, include/) by every test of `make check`. Included by the
# Makefile:
#   make coverage    instrumented build in build-coverage, ctest, gcovr summary
# Branches that only exist for exception unwinding are left out of the
# branch figure: they are the compiler's, not the program's.
COVERAGE_BUILD ?= build-coverage
# Each directory's objects are read from the directory it was compiled in,
# so relative source paths (a compiler launcher may make them so) resolve.
COVERAGE_DIRS = lib process mail/lib mail/handlers/lib mail/postfix tests

.PHONY: coverage

coverage:
	sh tools/install-deps.sh gcovr
	cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMX_COVERAGE=ON
	cmake --build $(COVERAGE_BUILD) -j$(JOBS)
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	@status=0; (cd $(COVERAGE_BUILD) && ctest --output-on-failure -j$(JOBS)) || status=$$?; \
	for d in $(COVERAGE_DIRS); do \
		gcovr --root . --object-directory $(COVERAGE_BUILD)/$$d $(COVERAGE_BUILD)/$$d \
			--filter 'lib/' --filter 'process/' --filter 'mail/' --filter 'include/' \
			--exclude-throw-branches --exclude-unreachable-branches -j$(JOBS) \
			--json $(COVERAGE_BUILD)/coverage-$$(echo $$d | tr / _).json || status=1; \
	done; \
	gcovr --add-tracefile '$(COVERAGE_BUILD)/coverage-*.json' \
		--txt $(COVERAGE_BUILD)/coverage.txt --print-summary || status=1; \
	echo "per file: $(COVERAGE_BUILD)/coverage.txt"; \
	exit $$status
