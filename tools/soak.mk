# soak.mk - the long forms of the reliability tests, included by the Makefile:
#   make soak  - 16 workers running 10 rounds of commands at the same time and
#                1,000 runs killed with SIGKILL.
# SOAK_WORKERS, SOAK_ROUNDS and SOAK_KILLS change the sizes.
SOAK_WORKERS ?= 16
SOAK_ROUNDS ?= 10
SOAK_KILLS ?= 1000

.PHONY: soak
soak: build
	sh tests/soak/soak.sh $(BUILD) $(SOAK_WORKERS) $(SOAK_ROUNDS) $(SOAK_KILLS)
