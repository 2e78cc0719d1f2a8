"""What emu/run-e2e and emu/e2e-suite share: where make puts what they run, how they stop
the processes they start, and the names of EFI_STATUS values.

Neither script builds anything: make's rules (emu-smoke, emu-e2e, emu-demo) build the
host tools, the firmware images and the harness first, and pass their build folder
(make's BUILD) as --build. Tests: emu/e2elib_test.py (make test runs them).
"""

import argparse
import os
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# make's default build folder.
DEFAULT_BUILD = os.path.join(ROOT, "build")


class BuildTree:
    """The files of one build folder that the end-to-end runs use, as make lays them out:
    host/ from CMake, efi/ from the firmware rules, emu/ for what the runs write."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        host = os.path.join(self.folder, "host")
        efi = os.path.join(self.folder, "efi")
        self.server = os.path.join(host, "emu", "kvr-camera-server")
        self.scenario_tool = os.path.join(host, "kvr-scenario")
        self.kvrcap = os.path.join(host, "kvrcap")
        self.harness = os.path.join(efi, "KvrHarness.efi")
        self.probe = os.path.join(efi, "KvrProbeDriver.efi")
        self.silent_driver = os.path.join(efi, "KvrFmpDriver.efi")
        self.console_driver = os.path.join(efi, "console", "KvrFmpDriver.efi")
        self.serial_driver = os.path.join(efi, "serial", "KvrFmpDriver.efi")
        self.samples = os.path.join(self.folder, "emu", "samples")
        self.power_cut_state = os.path.join(self.folder, "emu", "power-cut-boot1")
        # The make target that builds each file.
        self._targets = {self.server: "emu-host", self.scenario_tool: "emu-host",
                         self.kvrcap: "emu-host", self.harness: "emu-harness",
                         self.probe: "emu-probe", self.silent_driver: "efi",
                         self.console_driver: "efi", self.serial_driver: "efi"}

    def missing(self, *paths):
        """None when every path is a file; else what is missing and the make command that
        builds it."""
        absent = [p for p in paths if not os.path.isfile(p)]
        if not absent:
            return None
        targets = sorted({self._targets.get(p, "all") for p in absent})
        build = "" if self.folder == DEFAULT_BUILD else f"BUILD={self.folder} "
        goal = "make " + build + " ".join(targets)
        return f"{', '.join(absent)} missing: run `{goal}`"


def add_build_argument(parser):
    parser.add_argument("--build", metavar="DIR", type=BuildTree,
                        default=BuildTree(DEFAULT_BUILD),
                        help="make's build folder (its BUILD; default build in the tree)")


def stop(process, name, grace):
    """Ends a process started in a session of its own, and whatever it started in its
    group: SIGTERM, then SIGKILL after grace seconds. Says so when even that fails."""
    if process is None or process.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue
    print(f"{os.path.basename(sys.argv[0])}: {name} (pid {process.pid}) did not end",
          file=sys.stderr)


# EFI_STATUS values by name (UEFI 2.10, appendix D); an error has the top bit set.
STATUS_NAMES = {
    "EFI_SUCCESS": 0,
    "EFI_LOAD_ERROR": 1, "EFI_INVALID_PARAMETER": 2, "EFI_UNSUPPORTED": 3,
    "EFI_BAD_BUFFER_SIZE": 4, "EFI_BUFFER_TOO_SMALL": 5, "EFI_NOT_READY": 6,
    "EFI_DEVICE_ERROR": 7, "EFI_WRITE_PROTECTED": 8, "EFI_OUT_OF_RESOURCES": 9,
    "EFI_VOLUME_CORRUPTED": 10, "EFI_NOT_FOUND": 14, "EFI_ACCESS_DENIED": 15,
    "EFI_NO_RESPONSE": 16, "EFI_TIMEOUT": 18, "EFI_NOT_STARTED": 19, "EFI_ABORTED": 21,
    "EFI_PROTOCOL_ERROR": 24, "EFI_INCOMPATIBLE_VERSION": 25, "EFI_SECURITY_VIOLATION": 26,
    "EFI_CRC_ERROR": 27, "EFI_END_OF_FILE": 31,
}
ERROR_BIT = 1 << 63


def status_value(text):
    """EFI_DEVICE_ERROR, 0x8000000000000007 or 7 -> the EFI_STATUS value."""
    if text in STATUS_NAMES:
        value = STATUS_NAMES[text]
        return value if value == 0 else value | ERROR_BIT
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a status: {text}")


def status_name(value):
    """The value with its name when it has one: EFI_DEVICE_ERROR (0x8000000000000007)."""
    for name in STATUS_NAMES:
        if value == status_value(name):
            return f"{name} (0x{value:X})"
    return f"0x{value:X}"
