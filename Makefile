# Top-level build. `make test` is all a new machine needs: it installs what is missing,
# builds the host tree and the firmware objects, and runs every test.

BUILD      ?= build
HOST_BUILD := $(BUILD)/host
JOBS       ?= 2

# Debian packages the tree needs (tshark decodes the USB captures in the tests; kvrcap
# signs capsules with libssl-dev's libcrypto, and the tests check them with the openssl
# command). clang's runtime (libFuzzer, the sanitizers) is the one of the installed clang's
# version: install-deps --clang-runtime adds libclang-rt-N-dev for clang N.
PACKAGES := clang lld llvm cmake ninja-build g++ libgtest-dev tshark libssl-dev openssl

# The emulator's own rules and packages (QEMU, OVMF, usbredir).
-include emu/emu.mk
PACKAGES += $(EMU_PACKAGES)
-include tools/bench/bench.mk

# One CMake build (CMakeLists.txt) makes every tree: the host tree (tests, tools, camera
# server), the efi tree (the firmware images) and the fuzz tree, each in its folder of BUILD.
EFI_BUILD  := $(BUILD)/efi
FUZZ_BUILD := $(BUILD)/fuzz
CMAKE_CONFIGURE = cmake -S . -G Ninja
HOST_CONFIGURE  = $(CMAKE_CONFIGURE) -B $(HOST_BUILD) -DCMAKE_BUILD_TYPE=Debug
EFI_CONFIGURE   = $(CMAKE_CONFIGURE) -DKVR_TREE=efi -DCMAKE_CXX_COMPILER=clang++ -B
FUZZ_CONFIGURE  = $(CMAKE_CONFIGURE) -DKVR_TREE=fuzz -DCMAKE_CXX_COMPILER=clang++ -B $(FUZZ_BUILD)

.PHONY: all deps host efi efi-reproducible test demo demo-sim clean fuzz fuzz-build \
        fuzz-campaign fuzz-heap-test

all: host efi

deps:
	@./scripts/install-deps --clang-runtime $(PACKAGES)

host: deps
	$(HOST_CONFIGURE)
	cmake --build $(HOST_BUILD) -j $(JOBS)

# The driver image (silent: what a platform ships; KvrFmpDriver.map tells where its bytes
# are), the same driver logging to the firmware console (console/) and to COM1 (serial/),
# the library of its objects, its dependency expression, and the emulator's harness and
# probe driver; each image is checked as it is linked (cmake/efi.cmake).
efi: deps
	@$(EFI_CONFIGURE) $(EFI_BUILD) > /dev/null
	cmake --build $(EFI_BUILD) -j $(JOBS)

# The efi tree's images are reproducible: a second build from nothing, in BUILD/efi-again,
# gives the same bytes, image by image (make test checks it).
EFI_AGAIN := $(BUILD)/efi-again

efi-reproducible: efi
	@rm -rf $(EFI_AGAIN)
	@$(EFI_CONFIGURE) $(EFI_AGAIN) > /dev/null
	@cmake --build $(EFI_AGAIN) -j $(JOBS) > $(BUILD)/efi-again.log 2>&1 || \
	  { cat $(BUILD)/efi-again.log; exit 1; }
	@cd $(EFI_BUILD) && images=$$(find . -name '*.efi' -o -name '*.lib' -o -name '*.depex' | sort) && \
	  for f in $$images; do cmp "$$f" "$(abspath $(EFI_AGAIN))/$$f" || exit 1; done && \
	  echo "efi: a build from nothing gives the same bytes:" $$images
	@rm -rf $(EFI_AGAIN)

# The fuzz targets run first so that the test runner's summary closes the output.
test: host efi-reproducible fuzz-build
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)
	$(MAKE) --no-print-directory fuzz-heap-test
	$(MAKE) --no-print-directory emu-lib-test
	$(MAKE) --no-print-directory emu-smoke
	$(MAKE) --no-print-directory emu-e2e
	cd $(HOST_BUILD) && KVR_REQUIRE_EFI_IMAGE=1 KVR_REQUIRE_TSHARK=1 ./kvr_tests --gtest_brief=1

# Fuzz targets (cmake/fuzz.cmake): tests/fuzz/NameFuzz.cpp is BUILD/fuzz/Name_fuzz.
# `make fuzz FUZZ_SECONDS=N` runs each target for N seconds (FUZZ_RUN=Name... picks some);
# `make test` runs them briefly; `make fuzz-campaign` runs them to a number of executions
# (tests/fuzz/run does the running). Seeds: scripts/fuzz-seeds and the small corpora checked
# in under tests/fuzz/corpus/Name/; what a run finds grows in build/fuzz/corpus/Name/.
FUZZ_SECONDS       ?= 300
TEST_FUZZ_SECONDS  ?= 30
FUZZ_RUN           ?=
# The targets to run: FUZZ_RUN, or every target the fuzz tree built.
fuzz_run = $(or $(FUZZ_RUN),$$(cd $(FUZZ_BUILD) && ls *_fuzz | sed 's/_fuzz$$//'))

fuzz-build: deps
	@$(FUZZ_CONFIGURE) > /dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# The whole-run target's heap reports what it should: a block of each size near a granule
# edge, read past, read before, read after free and deleted twice.
fuzz-heap-test: fuzz-build
	@cases=0; for size in 1 7 8 9 15 16 17 100 4096; do \
	  $(FUZZ_BUILD)/heap_check fit $$size || { echo "heap_check: fit $$size failed"; exit 1; }; \
	  cases=$$((cases + 1)); \
	  for case in past before freed twice; do \
	    if $(FUZZ_BUILD)/heap_check $$case $$size 2>$(FUZZ_BUILD)/heap_check.log || \
	       ! grep -qE 'AddressSanitizer: use-after-poison|HostHeap: delete of' $(FUZZ_BUILD)/heap_check.log; then \
	      echo "heap_check: $$case $$size was not reported"; cat $(FUZZ_BUILD)/heap_check.log; exit 1; \
	    fi; \
	    cases=$$((cases + 1)); \
	  done; \
	done; echo "fuzz heap: $$cases cases reported as they should"

fuzz: fuzz-build host
	./scripts/fuzz-seeds $(HOST_BUILD)/kvrcap $(FUZZ_BUILD)/seeds
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) 0 quick $(fuzz_run)

# The campaign: each target until FUZZ_CAMPAIGN_RUNS executions or FUZZ_SECONDS, whichever
# comes first, then a table of executions, executions a second, coverage, corpus size and
# findings. A finding fails it; its input is in build/fuzz/findings/Name/ (once fixed, keep
# it in tests/fuzz/corpus/Name/).
FUZZ_CAMPAIGN_RUNS ?= 10000000

fuzz-campaign: fuzz-build host
	./scripts/fuzz-seeds $(HOST_BUILD)/kvrcap $(FUZZ_BUILD)/seeds
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_CAMPAIGN_RUNS) campaign $(fuzz_run)

# The update of the emulated camera in real firmware (OVMF under QEMU): the driver's log,
# the progress bar and the result. DEMO=flash (default), dfu-interface, dfu-capable, insyde
# (INSYDE firmware, the driver started from its FMP capsule) or serial (the serial image,
# its log from COM1); the rules are in emu/emu.mk.
DEMO ?= flash

demo: emu-demo

# The same update of the simulated camera, on the host: DEMO_ARGS are kvr-scenario's options.
demo-sim: host
	$(HOST_BUILD)/kvr-scenario $(DEMO_ARGS)

clean:
	rm -rf $(BUILD)
