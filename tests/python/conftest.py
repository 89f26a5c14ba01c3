"""Runs Python robot programs on the simulated controller.

ctest passes the build's paths in the environment (tests/python.cmake):
KESTRIX_SIM (the launcher), KESTRIX_PYTHONPATH (the folder holding the
built package), KESTRIX_LIBRARY (libkestrix.so) and KESTRIX_SOURCE_DIR.
"""
import os
import re
import subprocess
import sys
import textwrap

import pytest

PYTHON = "/usr/bin/python3"
# Python's start takes real time, and a program that runs without waiting
# lets the virtual clock follow real time: on a loaded machine the program's
# own stopwatch may start this late into the run.
STARTUP = 0.5


def _environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.environ["KESTRIX_PYTHONPATH"]
    return env


class Run:
    """What a run printed, and the launcher's summary of the controller."""

    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr

    def value(self, name):
        """The number printed on a line "name: value" by the program."""
        match = re.search(rf"^{re.escape(name)}: (\S+)$", self.stdout, re.M)
        assert match, f"no '{name}:' line in\n{self.stdout}\n{self.stderr}"
        return float(match.group(1))

    def summary(self, pattern):
        match = re.search(pattern, self.stderr, re.M)
        assert match, f"summary has no {pattern!r}:\n{self.stderr}"
        return match


@pytest.fixture
def simulate(tmp_path):
    """simulate(program, script=None, speed="max", options=()) -> Run.

    The program is Python source run by the distribution's python3 under
    kestrix-sim; its standard output is unbuffered, so whatever it printed
    before the simulator ended it is there."""

    def run(program, script=None, speed="max", options=(), command=None, timeout=120):
        arguments = [os.environ["KESTRIX_SIM"], "--speed", speed, *options]
        if script is not None:
            script_path = tmp_path / "inputs.script"
            script_path.write_text(textwrap.dedent(script))
            arguments += ["--script", str(script_path)]
        if command is None:
            program_path = tmp_path / "program.py"
            program_path.write_text(textwrap.dedent(program))
            command = [PYTHON, "-u", str(program_path)]
        completed = subprocess.run(arguments + command, capture_output=True, text=True, timeout=timeout,
                                   env=_environment())
        return Run(completed)

    return run


@pytest.fixture(scope="session")
def kestrix_module():
    sys.path.insert(0, os.environ["KESTRIX_PYTHONPATH"])
    import kestrix

    return kestrix
