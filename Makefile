# Top-level build. `make test` is all a new machine needs: it installs what is missing,
# builds the host tree and the firmware objects, and runs every test.

BUILD      ?= build
HOST_BUILD := $(BUILD)/host
EFI_BUILD  := $(BUILD)/efi
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

DRIVER_SRCS := $(wildcard firmware/*/*.cpp)
EFI_SRCS    := $(DRIVER_SRCS) $(wildcard firmware/platform/efi/*.cpp)
EFI_OBJS    := $(patsubst %.cpp,$(EFI_BUILD)/obj/%.obj,$(EFI_SRCS))
DRIVER_HDRS := $(wildcard firmware/*/*.h)

EFI_CXX      := clang++
EFI_CXXFLAGS := --target=x86_64-unknown-windows -std=c++20 -ffreestanding -fno-exceptions \
                -fno-rtti -mno-red-zone -fno-stack-protector -mno-stack-arg-probe \
                -O2 -Wall -Wextra -Werror -Ifirmware
# The driver's objects are built for size as EDK II builds release drivers: -Oz with
# link-time optimisation (the objects are LLVM bitcode; lld-link generates the code), one
# section per function and datum so that the link keeps only what the entry point reaches.
EFI_DRIVER_CXXFLAGS := $(filter-out -O2,$(EFI_CXXFLAGS)) -Oz -flto -ffunction-sections \
                       -fdata-sections

.PHONY: all deps host efi test demo demo-sim clean fuzz fuzz-build fuzz-campaign fuzz-heap-test

all: host efi

deps:
	@./scripts/install-deps --clang-runtime $(PACKAGES)

# CMake's configure, for every tree it builds: the tests read the driver image this
# Makefile links (CMakeLists.txt's default is the one of BUILD=build).
CMAKE_CONFIGURE = cmake -S . -G Ninja -DKVR_EFI_IMAGE_PATH=$(abspath $(EFI_IMAGE))
HOST_CONFIGURE  = $(CMAKE_CONFIGURE) -B $(HOST_BUILD) -DCMAKE_BUILD_TYPE=Debug

host: deps
	$(HOST_CONFIGURE)
	cmake --build $(HOST_BUILD) -j $(JOBS)

EFI_IMAGE         := $(EFI_BUILD)/KvrFmpDriver.efi
EFI_CONSOLE_IMAGE := $(EFI_BUILD)/console/KvrFmpDriver.efi
EFI_SERIAL_IMAGE  := $(EFI_BUILD)/serial/KvrFmpDriver.efi
EFI_SILENT_SINK   := $(EFI_BUILD)/obj/firmware/platform/efi/DebugSinkEfi.obj
EFI_CONSOLE_SINK  := $(EFI_BUILD)/obj/console/DebugSinkEfi.obj
EFI_SERIAL_SINK   := $(EFI_BUILD)/obj/serial/DebugSinkEfi.obj
# Unreferenced functions and data dropped, identical ones folded, 32-byte file alignment
# (sections keep their 4 KiB alignment in memory, as firmware that protects image memory
# needs), and NX-compatible: no section is both writable and executable.
EFI_LINK          := lld-link -subsystem:efi_boot_service_driver -entry:KvrFmpDriverEntry \
                     -nodefaultlib -opt:ref -opt:icf -filealign:32 -nxcompat

EFI_DEPEX         := $(EFI_BUILD)/KvrFmpDriver.depex

efi: deps $(EFI_BUILD)/kvr_driver.lib $(EFI_IMAGE) $(EFI_CONSOLE_IMAGE) $(EFI_SERIAL_IMAGE) \
     $(EFI_DEPEX)
	./scripts/efi-undefined $(EFI_BUILD)/kvr_driver.lib
	./scripts/efi-undefined $(filter-out $(EFI_SILENT_SINK),$(EFI_OBJS)) $(EFI_CONSOLE_SINK)
	./scripts/efi-undefined $(filter-out $(EFI_SILENT_SINK),$(EFI_OBJS)) $(EFI_SERIAL_SINK)

# The driver's dependency expression for a firmware volume (PI 1.8, DXE CIS 10.7): TRUE
# (0x06), END (0x08). docs/edk2/KvrFmpDriver.inf names it beside the image.
$(EFI_DEPEX):
	@mkdir -p $(dir $@)
	printf '\006\010' > $@

# The driver image (silent: what a platform ships), and the same driver with its log on the
# firmware console (emulator runs) or on the COM1 serial port (platform bring-up). The link
# map (KvrFmpDriver.map) tells where the shipped image's bytes are. Each image is checked
# as it is linked: PE32+ for x86-64, a boot-service driver, no imports.
$(EFI_IMAGE): $(EFI_OBJS)
	$(EFI_LINK) -map:$(EFI_BUILD)/KvrFmpDriver.map -out:$@ $^
	./emu/check-efi-image $@ efi_boot_service_driver
	@echo "$@: $$(stat -c %s $@) bytes"

$(EFI_CONSOLE_IMAGE): $(filter-out $(EFI_SILENT_SINK),$(EFI_OBJS)) $(EFI_CONSOLE_SINK)
	@mkdir -p $(dir $@)
	$(EFI_LINK) -out:$@ $^
	./emu/check-efi-image $@ efi_boot_service_driver

$(EFI_SERIAL_IMAGE): $(filter-out $(EFI_SILENT_SINK),$(EFI_OBJS)) $(EFI_SERIAL_SINK)
	@mkdir -p $(dir $@)
	$(EFI_LINK) -out:$@ $^
	./emu/check-efi-image $@ efi_boot_service_driver

# The sinks of those two images: the one source built with KVR_CONSOLE_SINK or
# KVR_SERIAL_SINK.
$(EFI_BUILD)/obj/console/DebugSinkEfi.obj: firmware/platform/efi/DebugSinkEfi.cpp $(DRIVER_HDRS)
	@mkdir -p $(dir $@)
	$(EFI_CXX) $(EFI_DRIVER_CXXFLAGS) -DKVR_CONSOLE_SINK -c $< -o $@

$(EFI_BUILD)/obj/serial/DebugSinkEfi.obj: firmware/platform/efi/DebugSinkEfi.cpp $(DRIVER_HDRS)
	@mkdir -p $(dir $@)
	$(EFI_CXX) $(EFI_DRIVER_CXXFLAGS) -DKVR_SERIAL_SINK -c $< -o $@

$(EFI_BUILD)/obj/%.obj: %.cpp $(DRIVER_HDRS)
	@mkdir -p $(dir $@)
	$(EFI_CXX) $(EFI_DRIVER_CXXFLAGS) -c $< -o $@

# Rebuilt every time, so that a source that went away leaves no stale member behind.
$(EFI_BUILD)/kvr_driver.lib: $(EFI_OBJS) FORCE
	@rm -f $@
	@llvm-lib /out:$@ $(EFI_OBJS)

FORCE:

# The fuzz targets run first so that the test runner's summary closes the output.
test: host efi fuzz-build
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)
	$(MAKE) --no-print-directory fuzz-heap-test
	$(MAKE) --no-print-directory emu-lib-test
	$(MAKE) --no-print-directory emu-smoke
	$(MAKE) --no-print-directory emu-e2e
	cd $(HOST_BUILD) && KVR_REQUIRE_EFI_IMAGE=1 KVR_REQUIRE_TSHARK=1 ./kvr_tests --gtest_brief=1

# Fuzz targets: clang with libFuzzer, ASan and UBSan. Each tests/fuzz/NameFuzz.cpp is one
# target, build/fuzz/Name_fuzz, linked with the driver's own sources and the host debug
# sink; a target that runs on the simulated platform also names the host sources it needs
# in Name_FUZZ_LINKS. Every source is compiled once and shared, in one of three ways:
#   obj/    the driver: libFuzzer's coverage, ASan and UBSan (the formatter, the log and
#           the memory and string helpers without comparison tracing: they compare format
#           characters and loop counters, nothing an input steers, and tracing them took a
#           fifth of a whole-run execution);
#   host/   the simulated platform and the targets, which read and write the driver's
#           memory: ASan, optimised, no coverage (their edges are not what the targets look
#           for, and counting them took a third of a whole-run execution); neither UBSan
#           nor ASan's use-after-scope checks, which look at the host code's own arithmetic
#           and locals (the host tests check those) and took a seventh and a fifth of a
#           whole-run execution replaying a fixed corpus;
#   model/  the camera model, and what the whole-run target builds its world and judges
#           the outcome with (tools/, the target and its heap), which read nothing of the
#           driver's memory but its record's pointers, from a live pool block: optimised
#           only (instrumenting them took a seventh of a whole-run execution). What they
#           hand the driver (the capsule), the driver's own instrumentation still checks.
# `make fuzz FUZZ_SECONDS=N` runs each target for N seconds (FUZZ_RUN=Name... picks some);
# `make test` runs them briefly; `make fuzz-campaign` runs them to a number of executions
# (tests/fuzz/run does the running). Seeds: scripts/fuzz-seeds and the small corpora checked
# in under tests/fuzz/corpus/Name/; what a run finds grows in build/fuzz/corpus/Name/.
FUZZ_BUILD         := $(BUILD)/fuzz
FUZZ_SECONDS       ?= 300
TEST_FUZZ_SECONDS  ?= 30
FUZZ_TARGETS       := $(patsubst tests/fuzz/%Fuzz.cpp,%,$(wildcard tests/fuzz/*Fuzz.cpp))
FUZZ_RUN           ?= $(FUZZ_TARGETS)
FUZZ_COMMON_FLAGS  := -std=c++20 -g -Wall -Wextra -Werror -Ifirmware -Ihost -I. -MMD -MP
FUZZ_SANITIZE      := -fsanitize=address,undefined -fno-sanitize-recover=undefined
FUZZ_CXXFLAGS      := $(FUZZ_COMMON_FLAGS) -O1 $(FUZZ_SANITIZE) -fsanitize=fuzzer-no-link
FUZZ_HOST_CXXFLAGS := $(FUZZ_COMMON_FLAGS) -O2 -fsanitize=address \
                      -fno-sanitize-address-use-after-scope
FUZZ_MODEL_CXXFLAGS := $(FUZZ_COMMON_FLAGS) -O2
FUZZ_LDFLAGS       := -fsanitize=fuzzer,address,undefined
FUZZ_SUPPORT       := $(DRIVER_SRCS) host/sim/HostSink.cpp

# Host sources of the targets that run on the simulated platform.
FUZZ_SIM_SRCS        := $(filter-out host/sim/HostSink.cpp,$(wildcard host/sim/*.cpp)) $(wildcard host/camera/*.cpp)
DevicePath_FUZZ_LINKS := $(FUZZ_SIM_SRCS)
UpdateRun_FUZZ_LINKS  := $(FUZZ_SIM_SRCS) tools/Scenario.cpp tools/CapsuleFormat.cpp tests/fuzz/HostHeap.cpp

FUZZ_MODEL_SRCS    := host/camera/% tools/% tests/fuzz/UpdateRunFuzz.cpp tests/fuzz/HostHeap.cpp
fuzz_tree = $(or $(if $(filter $(FUZZ_MODEL_SRCS),$(1)),model),$(if $(filter $(DRIVER_SRCS),$(1)),obj),host)
fuzz_objs = $(foreach s,$(1),$(FUZZ_BUILD)/$(call fuzz_tree,$(s))/$(s:.cpp=.o))
.PRECIOUS: $(FUZZ_BUILD)/obj/%.o $(FUZZ_BUILD)/host/%.o $(FUZZ_BUILD)/model/%.o

fuzz-build: deps $(foreach t,$(FUZZ_TARGETS),$(FUZZ_BUILD)/$(t)_fuzz)

$(FUZZ_BUILD)/obj/firmware/platform/Format.o $(FUZZ_BUILD)/obj/firmware/platform/DebugLog.o \
  $(FUZZ_BUILD)/obj/firmware/platform/Platform.o: \
  FUZZ_CXXFLAGS += -fno-sanitize-coverage=trace-cmp

$(FUZZ_BUILD)/obj/%.o: %.cpp
	@mkdir -p $(dir $@)
	clang++ $(FUZZ_CXXFLAGS) -c $< -o $@

$(FUZZ_BUILD)/host/%.o: %.cpp
	@mkdir -p $(dir $@)
	clang++ $(FUZZ_HOST_CXXFLAGS) -c $< -o $@

$(FUZZ_BUILD)/model/%.o: %.cpp
	@mkdir -p $(dir $@)
	clang++ $(FUZZ_MODEL_CXXFLAGS) -c $< -o $@

-include $(shell find $(FUZZ_BUILD)/obj $(FUZZ_BUILD)/host $(FUZZ_BUILD)/model -name '*.d' 2>/dev/null)

.SECONDEXPANSION:
$(FUZZ_BUILD)/%_fuzz: $$(call fuzz_objs,tests/fuzz/$$*Fuzz.cpp $(FUZZ_SUPPORT) $$($$*_FUZZ_LINKS))
	clang++ $(FUZZ_LDFLAGS) $^ -o $@

# The whole-run target's heap reports what it should: a block of each size near a granule
# edge, read past, read before, read after free and deleted twice.
$(FUZZ_BUILD)/heap_check: tests/fuzz/HostHeapCheck.cpp tests/fuzz/HostHeap.cpp
	@mkdir -p $(dir $@)
	clang++ $(FUZZ_COMMON_FLAGS) -O1 -fsanitize=address $^ -o $@

fuzz-heap-test: $(FUZZ_BUILD)/heap_check
	@cases=0; for size in 1 7 8 9 15 16 17 100 4096; do \
	  $< fit $$size || { echo "heap_check: fit $$size failed"; exit 1; }; \
	  cases=$$((cases + 1)); \
	  for case in past before freed twice; do \
	    if $< $$case $$size 2>$(FUZZ_BUILD)/heap_check.log || \
	       ! grep -qE 'AddressSanitizer: use-after-poison|HostHeap: delete of' $(FUZZ_BUILD)/heap_check.log; then \
	      echo "heap_check: $$case $$size was not reported"; cat $(FUZZ_BUILD)/heap_check.log; exit 1; \
	    fi; \
	    cases=$$((cases + 1)); \
	  done; \
	done; echo "fuzz heap: $$cases cases reported as they should"

fuzz: fuzz-build host
	./scripts/fuzz-seeds $(HOST_BUILD)/kvrcap $(FUZZ_BUILD)/seeds
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) 0 quick $(FUZZ_RUN)

# The campaign: each target until FUZZ_CAMPAIGN_RUNS executions or FUZZ_SECONDS, whichever
# comes first, then a table of executions, executions a second, coverage, corpus size and
# findings. A finding fails it; its input is in build/fuzz/findings/Name/ (once fixed, keep
# it in tests/fuzz/corpus/Name/).
FUZZ_CAMPAIGN_RUNS ?= 10000000

fuzz-campaign: fuzz-build host
	./scripts/fuzz-seeds $(HOST_BUILD)/kvrcap $(FUZZ_BUILD)/seeds
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_CAMPAIGN_RUNS) campaign $(FUZZ_RUN)

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
