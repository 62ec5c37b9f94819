# soak.mk - the long forms of the reliability tests, included by the Makefile:
#   make soak  - 16 concurrent runs for 60 s (whole mix, then tables alone)
#                and 1,000 runs killed with SIGKILL; about 25 minutes.
# SOAK_WORKERS, SOAK_SECONDS and SOAK_KILLS change the sizes.
SOAK_WORKERS ?= 16
SOAK_SECONDS ?= 60
SOAK_KILLS ?= 1000

.PHONY: soak
soak: build
	sh tests/soak/soak.sh $(BUILD) $(SOAK_WORKERS) $(SOAK_SECONDS) $(SOAK_KILLS)
