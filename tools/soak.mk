# soak.mk - the long forms of the reliability tests, included by the Makefile:
#   make soak  - 16 concurrent runs for 60 s (whole mix, then tables alone),
#                1,000 runs killed with SIGKILL, and 600 runs against a
#                popuser swapping a directory of its home with a link;
#                about 25 minutes.
# SOAK_WORKERS, SOAK_SECONDS, SOAK_KILLS and SOAK_RACE_RUNS (runs of each of
# the four commands) change the sizes.
SOAK_WORKERS ?= 16
SOAK_SECONDS ?= 60
SOAK_KILLS ?= 1000
SOAK_RACE_RUNS ?= 150

.PHONY: soak
soak: build
	sh tests/soak/soak.sh $(BUILD) $(SOAK_WORKERS) $(SOAK_SECONDS) $(SOAK_KILLS) $(SOAK_RACE_RUNS)
