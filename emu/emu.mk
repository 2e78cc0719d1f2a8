# The emulator: the usbredir camera server, the UEFI harness application and the runner
# that boots them in QEMU + OVMF. Included by the top-level Makefile before its own
# variables for the trees of the build: recipes here expand them when they run.

EMU_PACKAGES := qemu-system-x86 ovmf libusbredirparser-dev python3

EMU_SAVED_GOAL := $(.DEFAULT_GOAL)

.PHONY: emu-harness emu-host emu-smoke emu-probe emu-e2e emu-demo emu-lib-test

# The harness (KvrHarness.efi) and the probe driver (KvrProbeDriver.efi, a boot-service
# driver that checks the harness's capsule hand-over and progress protocol in firmware,
# standing where KvrFmpDriver.efi goes: a test fixture, never shipped) are built by the
# efi tree (cmake/efi.cmake) with the driver images.
emu-harness emu-probe: efi

# The host programs the runs use: the camera server, and kvr-scenario and kvrcap, which make
# the sample capsules and what the runs must show. The host tree's configure is make host's.
EMU_HOST_TOOLS := kvr-camera-server kvr-scenario kvrcap

emu-host: deps
	$(HOST_CONFIGURE)
	cmake --build $(HOST_BUILD) -j $(JOBS) --target $(EMU_HOST_TOOLS)

# The runner and the suite build nothing: each rule builds what they use first and passes
# them its build folder.

# Boots OVMF with the harness and the test device on the emulated xHCI: the harness must
# see the device, and its requests, stall, timeout and re-enumeration must come through.
emu-smoke: emu-harness emu-host
	./emu/run-e2e --build $(BUILD) --smoke

# The camera update end to end, every scenario: flash path, DFU modes 1 and 2, INSYDE with
# the driver started from its FMP capsule, the serial image, no camera, a camera with other
# IDs, a ROM device starting an incomplete image, a ROM device no in-flight record names
# (left alone), the camera beside another model's ROM device on the next port, and a power
# cut finished on the next boot from the record kept in the variable store. The console-logging driver (the serial one in
# its scenario) runs in OVMF with the camera model behind usb-redir; each run has a hard
# time limit. The suite prints each scenario's wall time.
emu-e2e: efi emu-harness emu-host
	./emu/e2e-suite --build $(BUILD)

# One scenario ($(DEMO), from the top-level Makefile) with the firmware console shown.
emu-demo: efi emu-harness emu-host
	./emu/e2e-suite --build $(BUILD) --demo $(DEMO)

# The tests of what the runner and the suite share (emu/e2elib.py); make test runs them.
emu-lib-test: deps
	PYTHONDONTWRITEBYTECODE=1 python3 emu/e2elib_test.py

.DEFAULT_GOAL := $(EMU_SAVED_GOAL)
