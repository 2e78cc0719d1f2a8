"""What emu/run-e2e and emu/e2e-suite share: where make puts what they run, how they stop
the processes they start, the names of EFI_STATUS values, and the UEFI variables of a run:
in OVMF's variable store file and in kvr-scenario's text of the simulated store.

Neither script builds anything: make's rules (emu-smoke, emu-e2e, emu-demo) build the
host tools, the firmware images and the harness first, and pass their build folder
(make's BUILD) as --build. Tests: emu/e2elib_test.py (make test runs them).
"""

import argparse
import os
import signal
import struct
import subprocess
import sys
import uuid

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


# ---------------------------------------------------------------- UEFI variables

# The driver's in-flight record of a DFU update (docs/INTEGRATION.md, "The in-flight record").
IN_FLIGHT_NAME = "KvrDfuInFlight"
IN_FLIGHT_GUID = uuid.UUID("063FCEBE-765E-48BC-B4E2-549BEBD395B0")
IN_FLIGHT_SIZE = 153
IN_FLIGHT_PORT_AT = 24  # the port chain's length byte; the chain follows, 128 bytes

# EDK II's variable store in a firmware volume (OVMF_VARS.fd): the volume header's length at
# offset 48, then the store header (its format GUID, size, format 0x5A, state 0xFE), then
# the variables from the next 4-byte boundary, each starting with 0x55AA.
_FV_SIGNATURE_AT = 40
_AUTHENTICATED_STORE = uuid.UUID("AAF32C78-947B-439A-A180-2E144EC37792")
_PLAIN_STORE = uuid.UUID("DDCF3616-3275-4164-98B6-FE85707FFE7D")
_VAR_ADDED = 0x3F
_VAR_ADDED_IN_DELETION = 0x3F & 0xFE  # added, its replacement not yet complete


class VariableStoreError(Exception):
    """The file is not a variable store this reader understands."""


def _guid(raw):
    return uuid.UUID(bytes_le=bytes(raw))


def read_variable_store(data):
    """The live variables of an EDK II variable store volume (OVMF's vars file), as a dict
    {(GUID, name): (attributes, data)}. A variable added and not deleted is live; one caught
    in an update (added, in deletion) only when no added copy of it exists. Raises
    VariableStoreError when the volume or store header is not understood."""
    if len(data) < 0x60 or data[_FV_SIGNATURE_AT:_FV_SIGNATURE_AT + 4] != b"_FVH":
        raise VariableStoreError("no firmware volume header")
    header_length = struct.unpack_from("<H", data, 48)[0]
    if header_length + 28 > len(data):
        raise VariableStoreError("the volume header runs past the file")
    store_guid = _guid(data[header_length:header_length + 16])
    size, store_format, state = struct.unpack_from("<IBB", data, header_length + 16)
    if store_guid not in (_AUTHENTICATED_STORE, _PLAIN_STORE) or store_format != 0x5A \
            or state != 0xFE or header_length + size > len(data):
        raise VariableStoreError("no variable store header after the volume header")
    authenticated = store_guid == _AUTHENTICATED_STORE
    header_size = 60 if authenticated else 32
    end = header_length + size
    at = (header_length + 28 + 3) & ~3
    added, in_deletion = {}, {}
    while at + header_size <= end and struct.unpack_from("<H", data, at)[0] == 0x55AA:
        state, attributes = data[at + 2], struct.unpack_from("<I", data, at + 4)[0]
        sizes_at = at + (36 if authenticated else 8)
        name_size, data_size = struct.unpack_from("<II", data, sizes_at)
        guid = _guid(data[sizes_at + 8:sizes_at + 24])
        name_at = at + header_size
        if name_at + name_size + data_size > end:
            raise VariableStoreError(f"the variable at 0x{at:X} runs past the store")
        name = data[name_at:name_at + name_size].decode("utf-16-le", "replace").rstrip("\0")
        value = bytes(data[name_at + name_size:name_at + name_size + data_size])
        if state == _VAR_ADDED:
            added[(guid, name)] = (attributes, value)
        elif state == _VAR_ADDED_IN_DELETION:
            in_deletion[(guid, name)] = (attributes, value)
        at = (name_at + name_size + data_size + 3) & ~3
    return {**{k: v for k, v in in_deletion.items() if k not in added}, **added}


def read_variable_text(text):
    """kvr-scenario's text of the simulated non-volatile store (--variables) as a dict
    {(GUID, name): (attributes, data)}. Raises VariableStoreError when it is malformed."""
    lines = text.splitlines()
    if len(lines) < 2 or lines[0] != "kvr-variables 1" or lines[-1] != "end":
        raise VariableStoreError("not a whole kvr-variables text")
    out = {}
    for line in lines[1:-1]:
        kind, _, rest = line.partition(" ")
        fields = dict(word.split("=", 1) for word in rest.split(" ") if "=" in word)
        try:
            if kind != "variable":
                raise ValueError(kind)
            data = b"" if fields["data"] == "-" else bytes.fromhex(fields["data"])
            out[(uuid.UUID(fields["guid"]), fields["name"])] = (int(fields["attributes"], 16), data)
        except (KeyError, ValueError) as e:
            raise VariableStoreError(f"line not understood: {line[:80]} ({e})")
    return out


def device_path_text(path):
    """A device path's nodes as UEFI's text form writes the ones a USB device's path holds:
    PciRoot(0x0)/Pci(0x1D,0x0)/USB(0x4,0x0); another node as Node(type,subtype)."""
    nodes, at = [], 0
    while at + 4 <= len(path):
        kind, sub, length = path[at], path[at + 1], struct.unpack_from("<H", path, at + 2)[0]
        if kind == 0x7F or length < 4 or at + length > len(path):
            break
        body = path[at + 4:at + length]
        if (kind, sub) == (2, 1) and len(body) == 8 and struct.unpack_from("<I", body)[0] == 0x0A0341D0:
            nodes.append(f"PciRoot(0x{struct.unpack_from('<I', body, 4)[0]:X})")
        elif (kind, sub) == (1, 1) and len(body) == 2:
            nodes.append(f"Pci(0x{body[1]:X},0x{body[0]:X})")
        elif (kind, sub) == (3, 5) and len(body) == 2:
            nodes.append(f"USB(0x{body[0]:X},0x{body[1]:X})")
        else:
            nodes.append(f"Node({kind},{sub})")
        at += length
    return "/".join(nodes) or "-"
