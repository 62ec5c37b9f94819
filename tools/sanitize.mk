# sanitize.mk - every test built and run with AddressSanitizer (leaks included)
# and UndefinedBehaviorSanitizer. Included by the Makefile:
#   make check-sanitize                     unit and system tests
#   make check-sanitize SANITIZE_LABEL=unit only the tests labelled unit
#
# Reports go to files, one per process, so that a finding in a child whose
# standard error a test swallows (mxadmin run by a system test, a forked
# helper) is not lost: the run fails when any report was written, whatever
# ctest says, and prints them.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_LABEL ?=
SANITIZE_JOBS ?= $(or $(JOBS),2)
SANITIZE_LOGS = $(abspath $(SANITIZE_BUILD))/sanitizer-reports

# halt_on_error: the first finding ends the process, so no report is buried
# under later ones. Leak checking stays on in every process that exits
# normally; children that end with _exit() are not checked.
SANITIZE_ENV = \
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$(SANITIZE_LOGS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SANITIZE_LOGS)/ubsan \
	LSAN_OPTIONS=report_objects=1

.PHONY: check-sanitize

check-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMX_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j$(SANITIZE_JOBS)
	rm -rf $(SANITIZE_LOGS) && mkdir -p $(SANITIZE_LOGS)
	@status=0; \
	cd $(SANITIZE_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j$(SANITIZE_JOBS) \
		$(if $(SANITIZE_LABEL),-L $(SANITIZE_LABEL)) || status=$$?; \
	reports=$$(find $(SANITIZE_LOGS) -type f); \
	if [ -n "$$reports" ]; then \
		for r in $$reports; do echo "== $$r"; cat "$$r"; done; \
		echo "check-sanitize: $$(echo "$$reports" | wc -l) sanitizer report(s) in $(SANITIZE_LOGS)"; \
		exit 1; \
	fi; \
	exit $$status
