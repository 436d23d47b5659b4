"""Shared by the package's own tests; the fixtures themselves come from the installed plugin."""

from __future__ import annotations

import os
from pathlib import Path
from typing import List

import pytest

import quenta
from quenta.sim import find_simulator, simulator_options

# A module already configured and in command mode answers the first ping, so a
# test pays no escape sequence (about 2.6 s) unless it wants one.
READY: List[str] = ["--mode", "command", "--baud", "921600", "--rtscts"]
FAST: List[str] = ["--scan-ms", "150", "--name-ms", "5", "--restart-ms", "50"]

SOURCE_DIR = Path(os.environ.get("QUENTA_SOURCE_DIR", Path(__file__).resolve().parents[2]))


def waiting_for(*options: str) -> pytest.MarkDecorator:
    """Skips, saying so, while the quenta-sim under test lacks one of the options."""
    try:
        have = simulator_options(find_simulator())
    except quenta.QuentaError:
        have = frozenset()
    missing = [option for option in options if option not in have]
    return pytest.mark.skipif(
        bool(missing), reason=f"WAITING: this quenta-sim has no {' '.join(missing)} yet"
    )


@pytest.fixture(scope="session")
def lib() -> quenta.Quenta:
    """The library under test (QUENTA_LIBRARY, else the loader's libquenta.so.1)."""
    return quenta.Quenta()
