#!/usr/bin/env python3
"""Tests of emu/e2elib.py: make emu-lib-test (make test runs it)."""

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import uuid
from unittest import mock

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
import e2elib


class BuildTreeTest(unittest.TestCase):
    def test_files_are_where_make_puts_them_in_the_folder_given(self):
        with tempfile.TemporaryDirectory() as cwd:
            here = os.getcwd()
            os.chdir(cwd)
            try:
                tree = e2elib.BuildTree("out")
            finally:
                os.chdir(here)
        out = os.path.join(os.path.realpath(cwd), "out")
        self.assertEqual(os.path.realpath(tree.folder), out)
        self.assertEqual(
            [os.path.relpath(p, tree.folder) for p in (
                tree.server, tree.scenario_tool, tree.kvrcap, tree.harness, tree.probe,
                tree.silent_driver, tree.console_driver, tree.serial_driver, tree.samples,
                tree.power_cut_state)],
            ["host/emu/kvr-camera-server", "host/kvr-scenario", "host/kvrcap",
             "efi/KvrHarness.efi", "efi/KvrProbeDriver.efi", "efi/KvrFmpDriver.efi",
             "efi/console/KvrFmpDriver.efi", "efi/serial/KvrFmpDriver.efi", "emu/samples",
             "emu/power-cut-boot1"])

    def test_missing_files_name_the_make_targets_that_build_them(self):
        with tempfile.TemporaryDirectory() as folder:
            tree = e2elib.BuildTree(folder)
            os.makedirs(os.path.dirname(tree.harness))
            open(tree.harness, "w").close()
            self.assertIsNone(tree.missing(tree.harness))
            message = tree.missing(tree.harness, tree.server, tree.kvrcap, tree.serial_driver)
            self.assertEqual(message, f"{tree.server}, {tree.kvrcap}, {tree.serial_driver} "
                                      f"missing: run `make BUILD={tree.folder} efi emu-host`")
            # make's own build folder goes without saying.
            with mock.patch.object(e2elib, "DEFAULT_BUILD", tree.folder):
                self.assertEqual(tree.missing(tree.probe),
                                 f"{tree.probe} missing: run `make emu-probe`")

    def test_the_build_option_defaults_to_makes_build_folder(self):
        parser = argparse.ArgumentParser()
        e2elib.add_build_argument(parser)
        self.assertEqual(parser.parse_args([]).build.folder,
                         os.path.join(e2elib.ROOT, "build"))
        self.assertEqual(parser.parse_args(["--build", "/x/out"]).build.kvrcap,
                         "/x/out/host/kvrcap")


class StatusTest(unittest.TestCase):
    def test_names_values_and_numbers(self):
        for text, value, name in [
                ("EFI_SUCCESS", 0, "EFI_SUCCESS (0x0)"),
                ("EFI_DEVICE_ERROR", 0x8000000000000007, "EFI_DEVICE_ERROR (0x8000000000000007)"),
                ("EFI_NOT_FOUND", 0x800000000000000E, "EFI_NOT_FOUND (0x800000000000000E)"),
                ("EFI_END_OF_FILE", 0x800000000000001F, "EFI_END_OF_FILE (0x800000000000001F)"),
                ("0x8000000000000012", 0x8000000000000012, "EFI_TIMEOUT (0x8000000000000012)"),
                # Without the error bit, 7 is a warning's value, not EFI_DEVICE_ERROR.
                ("7", 7, "0x7"),
                ("0x800000000000000B", 0x800000000000000B, "0x800000000000000B")]:
            with self.subTest(text=text):
                self.assertEqual(e2elib.status_value(text), value)
                self.assertEqual(e2elib.status_name(value), name)
        for text in ("EFI_BOGUS", "device error", ""):
            with self.subTest(text=text), self.assertRaises(argparse.ArgumentTypeError):
                e2elib.status_value(text)


class VariableStoreTest(unittest.TestCase):
    """OVMF's vars file as EDK II's variable driver writes it: a firmware volume, the
    authenticated store's header, then the variables, each 4-byte aligned."""
    STORE = uuid.UUID("AAF32C78-947B-439A-A180-2E144EC37792")
    OTHER = uuid.UUID("8BE4DF61-93CA-11D2-AA0D-00E098032B8C")

    @staticmethod
    def variable(state, guid, name, attributes, data):
        encoded = (name + "\0").encode("utf-16-le")
        header = struct.pack("<HBBIQ16sIII16s", 0x55AA, state, 0, attributes, 0, bytes(16), 0,
                             len(encoded), len(data), guid.bytes_le)
        body = header + encoded + data
        return body + b"\xff" * (-len(body) % 4)

    def volume(self, variables, store=None):
        fv = bytearray(b"\xff" * 72)
        fv[0:16] = bytes(16)
        fv[40:44] = b"_FVH"
        struct.pack_into("<H", fv, 48, 72)
        size = 0x1000
        header = (store or self.STORE).bytes_le + struct.pack("<IBBHI", size, 0x5A, 0xFE, 0, 0)
        body = b"".join(variables)
        return bytes(fv) + header + body + b"\xff" * (size - len(header) - len(body))

    def test_live_variables_are_the_added_ones(self):
        guid = e2elib.IN_FLIGHT_GUID
        data = self.volume([
            self.variable(0x3F, self.OTHER, "BootOrder", 7, b"\x01\x00"),
            self.variable(0x3C, guid, "KvrDfuInFlight", 3, b"old"),      # deleted
            self.variable(0x3E, guid, "KvrDfuInFlight", 3, b"older"),    # replaced by ...
            self.variable(0x3F, guid, "KvrDfuInFlight", 3, b"record"),   # ... this one
            self.variable(0x3E, self.OTHER, "Lang", 7, b"en"),          # caught in an update
        ])
        self.assertEqual(e2elib.read_variable_store(data), {
            (self.OTHER, "BootOrder"): (7, b"\x01\x00"),
            (guid, "KvrDfuInFlight"): (3, b"record"),
            (self.OTHER, "Lang"): (7, b"en")})
        deleted = self.volume([self.variable(0x3C, guid, "KvrDfuInFlight", 3, b"old")])
        self.assertEqual(e2elib.read_variable_store(deleted), {})

    def test_what_is_no_variable_store_is_refused(self):
        good = self.volume([])
        self.assertEqual(e2elib.read_variable_store(good), {})
        for what, data in [
                ("no volume", b"\0" * 4096),
                ("another store", self.volume([], store=self.OTHER)),
                ("a variable past the store", good[:72 + 28] + self.variable(
                    0x3F, self.OTHER, "X", 7, b"\0" * 8192)[:60] + good[72 + 28 + 60:])]:
            with self.subTest(what), self.assertRaises(e2elib.VariableStoreError):
                e2elib.read_variable_store(data)

    def test_simulated_store_text(self):
        text = ("kvr-variables 1\nvariable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 "
                "name=KvrDfuInFlight attributes=0x00000003 data=4b564946\n"
                "variable guid=8BE4DF61-93CA-11D2-AA0D-00E098032B8C name=Empty "
                "attributes=0x00000007 data=-\nend\n")
        self.assertEqual(e2elib.read_variable_text(text), {
            (e2elib.IN_FLIGHT_GUID, "KvrDfuInFlight"): (3, b"KVIF"),
            (self.OTHER, "Empty"): (7, b"")})
        for bad in ("kvr-variables 1\n", "kvr-variables 1\nvariable name=A\nend\n",
                    "kvr-variables 1\nthing guid=x\nend\n"):
            with self.subTest(bad=bad), self.assertRaises(e2elib.VariableStoreError):
                e2elib.read_variable_text(bad)

    def test_device_paths_read_as_uefi_writes_them(self):
        acpi = bytes.fromhex("02010c00d041030a00000000")
        self.assertEqual(e2elib.device_path_text(
            acpi + bytes.fromhex("010106000002" "030506000400" "030506000201" "7fff0400")),
            "PciRoot(0x0)/Pci(0x2,0x0)/USB(0x4,0x0)/USB(0x2,0x1)")
        self.assertEqual(e2elib.device_path_text(bytes.fromhex("0401080000000000")), "Node(4,1)")
        self.assertEqual(e2elib.device_path_text(bytes.fromhex("03050200")), "-")


def started(script):
    """A shell in a session of its own that runs script; its first line of output is read."""
    process = subprocess.Popen(["sh", "-c", script], stdout=subprocess.PIPE,
                               start_new_session=True)
    return process, process.stdout.readline().decode().strip()


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class StopTest(unittest.TestCase):
    def wait_gone(self, pid):
        deadline = time.monotonic() + 5
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        return not alive(pid)

    def test_stops_the_process_and_what_it_started(self):
        process, child = started("sleep 60 & echo $!; wait")
        started_at = time.monotonic()
        e2elib.stop(process, "shell", 5)
        self.assertEqual(process.returncode, -15)
        self.assertLess(time.monotonic() - started_at, 4, "SIGTERM was enough")
        self.assertTrue(self.wait_gone(int(child)), "the shell's child is left running")
        process.stdout.close()

    def test_kills_a_process_that_ignores_sigterm_after_its_grace(self):
        process, _ = started("trap '' TERM; echo ready; while :; do sleep 0.05; done")
        started_at = time.monotonic()
        e2elib.stop(process, "shell", 0.3)
        self.assertEqual(process.returncode, -9)
        self.assertGreaterEqual(time.monotonic() - started_at, 0.3)
        process.stdout.close()

    def test_leaves_an_ended_process_and_none_alone(self):
        process = subprocess.Popen(["true"], start_new_session=True)
        process.wait()
        e2elib.stop(process, "true", 1)
        e2elib.stop(None, "nothing", 1)
        self.assertEqual(process.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=1)
