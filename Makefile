# Top-level build. `make test` is all a new machine needs: it installs what is missing,
# builds the host tree and the firmware objects, and runs every test.

BUILD      ?= build
HOST_BUILD := $(BUILD)/host
EFI_BUILD  := $(BUILD)/efi
JOBS       ?= 2

# Debian packages the tree needs.
PACKAGES := clang lld llvm cmake ninja-build g++ libgtest-dev

DRIVER_DIRS := platform driver capsule discovery vendor flash dfu
DRIVER_SRCS := $(foreach d,$(DRIVER_DIRS),$(wildcard $(d)/*.cpp))
EFI_SRCS    := $(DRIVER_SRCS) $(wildcard platform/efi/*.cpp)
EFI_OBJS    := $(patsubst %.cpp,$(EFI_BUILD)/obj/%.obj,$(EFI_SRCS))
DRIVER_HDRS := $(foreach d,$(DRIVER_DIRS),$(wildcard $(d)/*.h))

EFI_CXX      := clang++
EFI_CXXFLAGS := --target=x86_64-unknown-windows -std=c++20 -ffreestanding -fno-exceptions \
                -fno-rtti -mno-red-zone -fno-stack-protector -mno-stack-arg-probe \
                -O2 -Wall -Wextra -Werror -I.

.PHONY: all deps host efi test demo clean

all: host efi

deps:
	@./scripts/install-deps $(PACKAGES)

host: deps
	cmake -S . -B $(HOST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(HOST_BUILD) -j $(JOBS)

efi: deps $(EFI_BUILD)/kvr_driver.lib $(EFI_BUILD)/obj/console/DebugSinkEfi.obj
	./scripts/efi-undefined $(EFI_BUILD)/kvr_driver.lib

# The sink that prints on the firmware console, for runs under the emulator.
$(EFI_BUILD)/obj/console/DebugSinkEfi.obj: platform/efi/DebugSinkEfi.cpp $(DRIVER_HDRS)
	@mkdir -p $(dir $@)
	$(EFI_CXX) $(EFI_CXXFLAGS) -DKVR_CONSOLE_SINK -c $< -o $@

$(EFI_BUILD)/obj/%.obj: %.cpp $(DRIVER_HDRS)
	@mkdir -p $(dir $@)
	$(EFI_CXX) $(EFI_CXXFLAGS) -c $< -o $@

$(EFI_BUILD)/kvr_driver.lib: $(EFI_OBJS)
	@rm -f $@
	llvm-lib /out:$@ $^

test: host efi
	cd $(HOST_BUILD) && ./kvr_tests --gtest_brief=1

demo:
	@echo "make demo arrives with the update run: the driver's entry point is not built yet."
	@exit 1

clean:
	rm -rf $(BUILD)
