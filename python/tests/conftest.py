"""Shared by the package's own tests; the fixtures themselves come from the installed plugin."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import List

import pytest

import quenta
from quenta import capi

# A module already configured and in command mode answers the first ping, so a
# test pays no escape sequence (about 2.6 s) unless it wants one.
READY: List[str] = ["--mode", "command", "--baud", "921600", "--rtscts"]
FAST: List[str] = ["--scan-ms", "150", "--name-ms", "5", "--restart-ms", "50"]

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
