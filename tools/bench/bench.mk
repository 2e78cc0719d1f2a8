# The campaign's figures and its long sweep. Included by the top-level Makefile next to the
# emulator's rules; recipes expand the Makefile's variables when they run.
#
# make bench   one table of figures (tools/bench/Bench.cpp): for the flash path and DFU modes 1 and
#              2, one 128 KiB update each on the simulated platform (virtual time against the
#              waits it cannot do without, control transfers, bytes moved, peak pool, host
#              CPU time), the size of KvrFmpDriver.efi, and the wall time of each path end to
#              end in OVMF under QEMU (emu/e2e-suite; BENCH_E2E= leaves QEMU out). The bench
#              program is built optimised and without sanitizers, in build/bench, by clang
#              (g++ 12 at -O3 warns falsely on the camera model's vector inserts).
# make sweep   the fault sweeps through the entry point, the power-cut sweep and the hostile
#              devices (tests/robustness) on the 128 KiB sample, printing each sweep's number
#              of fault points and, per power-cut path, its cut points, how many the next run
#              recovered and how many reported success without the image; make test runs
#              them, quietly, on a smaller image.

BENCH_SAVED_GOAL := $(.DEFAULT_GOAL)

BENCH_BUILD := $(BUILD)/bench
BENCH_E2E   ?= flash dfu-interface dfu-capable
SWEEP_PAYLOAD ?= 131072

.PHONY: bench bench-build sweep

bench-build: deps
	@$(CMAKE_CONFIGURE) -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKVR_SANITIZE=OFF \
	  -DCMAKE_CXX_COMPILER=clang++ > /dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target kvr-bench

bench: bench-build efi $(if $(strip $(BENCH_E2E)),emu-harness emu-host)
	@rm -f $(BENCH_BUILD)/e2e.log
	@if [ -n "$(strip $(BENCH_E2E))" ]; then \
	  echo "bench: end-to-end runs in QEMU: $(BENCH_E2E)"; \
	  ./emu/e2e-suite --build $(BUILD) $(BENCH_E2E) > $(BENCH_BUILD)/e2e.log 2>&1 \
	    || echo "bench: emu/e2e-suite ended with status $$? (see $(BENCH_BUILD)/e2e.log)"; \
	fi
	@echo
	@$(BENCH_BUILD)/tools/bench/kvr-bench \
	  $(if $(strip $(BENCH_E2E)),--e2e $(BENCH_BUILD)/e2e.log)

sweep: host
	cd $(HOST_BUILD) && KVR_SWEEP_PAYLOAD=$(SWEEP_PAYLOAD) KVR_SWEEP_REPORT=1 ./kvr_tests \
	  --gtest_brief=1 --gtest_filter='EntryPoint/*:*Hostile*'

.DEFAULT_GOAL := $(BENCH_SAVED_GOAL)
