# soak.mk - the long forms of the reliability tests, included by the Makefile:
#   make soak  - 16 workers running 10 rounds of commands at the same time,
#                1,000 runs killed with SIGKILL, and 600 runs against a
#                popuser swapping a directory of its home with a link.
# SOAK_WORKERS, SOAK_ROUNDS, SOAK_KILLS and SOAK_RACE_RUNS (runs of each of
# the four commands) change the sizes.
SOAK_WORKERS ?= 16
SOAK_ROUNDS ?= 10
SOAK_KILLS ?= 1000
SOAK_RACE_RUNS ?= 150

.PHONY: soak
soak: build
	sh tests/soak/soak.sh $(BUILD) $(SOAK_WORKERS) $(SOAK_ROUNDS) $(SOAK_KILLS) $(SOAK_RACE_RUNS)
