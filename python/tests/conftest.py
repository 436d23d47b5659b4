"""Shared by the package's own tests; the fixtures themselves come from the installed plugin."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

import quenta
from quenta import capi

# A module already configured and in command mode answers the first ping, so a
# test pays no escape sequence (about 2.6 s) unless it wants one.
READY = ["--mode", "command", "--baud", "921600", "--rtscts"]
FAST = ["--scan-ms", "150", "--name-ms", "5", "--restart-ms", "50"]

# Names as the module reports them: plain, cut by the library after 16 bytes
# inside a UTF-8 character, not UTF-8 at all; and one of a class the library
# does not pair with. The names as str: those the library pairs with.
DEVICES = (
    b"02a0c7a1b2d1r 7978 PLAIN-NAME\n"
    b"02a0c7a1b2d2r 7978 x" + "\u00e9".encode() * 8 + b"\n"
    b"02a0c7a1b2d3r 7978 Caf\xe9 Lumi\xe8re\n"
    b"02a0c7a1b2d4r 1234 Headset\n"
)
NAMES = ["PLAIN-NAME", "x" + "\u00e9" * 7 + "\udcc3", "Caf\udce9 Lumi\udce8re"]

SOURCE_DIR = Path(os.environ.get("QUENTA_SOURCE_DIR", Path(__file__).resolve().parents[2]))


@pytest.fixture(scope="session", autouse=True)
def the_package_under_test_is_this_venvs() -> None:
    """Whatever else is installed (a system-wide python3-quenta), the tests run this tree's package."""
    for module in (quenta, quenta._native):
        path = os.path.realpath(module.__file__)
        assert path.startswith(os.path.realpath(sys.prefix) + os.sep), f"{module.__name__} from {path}"


@pytest.fixture(scope="session")
def lib() -> capi.Quenta:
    """The C functions under test (QUENTA_LIBRARY, else the loader's libquenta.so.1)."""
    return capi.Quenta()
