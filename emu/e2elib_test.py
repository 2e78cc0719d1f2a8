#!/usr/bin/env python3
"""Tests of emu/e2elib.py: make emu-lib-test (make test runs it)."""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import unittest
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
