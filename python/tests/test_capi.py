"""quenta.capi, the C functions through ctypes, against the real libquenta.so.1 and quenta-sim.

What the functions do is the C++ tests'; here the wrapper: names as str and
bytes, failures as exceptions naming the function, the port as a file, and how
the library is found.
"""

from __future__ import annotations

import os
import time

import pytest

import quenta
from quenta import capi
from conftest import DEVICES, FAST, NAMES as EXPECTED, READY

def test_search_pair_paired_unpair_round_trip_every_name(lib, quenta_sim_factory, tmp_path):
    devices = tmp_path / "devices.txt"
    devices.write_bytes(DEVICES)
    quenta_sim_factory(args=READY + FAST + ["--devices", str(devices)])
    assert lib.search() == EXPECTED
    for name in EXPECTED:
        lib.pair(name)
        assert lib.paired() == name
    # The same bytes given as bytes pair the same device; unpairing leaves
    # the peer entry, so the name still reads back.
    lib.pair(capi.encode_name(EXPECTED[0]))
    assert lib.paired() == EXPECTED[0]
    lib.unpair()
    assert lib.paired() == EXPECTED[0]


@pytest.mark.parametrize("name", ["", "A\0B", b"A\0B"])
def test_names_the_library_cannot_take_are_refused_before_any_call(lib, name):
    with pytest.raises(ValueError):
        lib.pair(name)


@pytest.mark.parametrize(
    "call, function",
    [
        (lambda q: q.search(), "QUENTA_searchDevices"),
        (lambda q: q.pair("QUENTA-ALPHA"), "QUENTA_pairDevice"),
        (lambda q: q.unpair(), "QUENTA_pairDevice"),
        (lambda q: q.paired(), "QUENTA_getPairedDevice"),
        (lambda q: q.open_port(), "QUENTA_createPortHandle"),
    ],
)
def test_a_failed_call_names_its_function_and_port(lib, monkeypatch, tmp_path, call, function):
    missing = str(tmp_path / "no-such-device")
    monkeypatch.setenv("QUENTA_PORT_COM8", missing)
    with pytest.raises(capi.CallFailedError) as failure:
        call(lib)
    assert (failure.value.function, failure.value.port) == (function, missing)
    assert isinstance(failure.value, quenta.QuentaError)


@pytest.mark.quenta_sim(args=READY + FAST)
def test_open_port_is_a_file_the_caller_owns(lib, quenta_sim):
    with lib.open_port() as port:
        assert os.get_blocking(port.fileno())
        port.write(b"hello peer\r\n")
        quenta_sim.wait_for_log("hello peer")
        quenta_sim.control("peer ping from the peer")
        received = b""
        deadline = time.monotonic() + 5
        while b"ping from the peer" not in received and time.monotonic() < deadline:
            received += port.read(64) or b""
    assert b"ping from the peer" in received
    # Closed by the caller, the port opens again (it is exclusive while open).
    with lib.open_port(blocking=False) as again:
        assert not os.get_blocking(again.fileno())
        assert again.read(64) in (None, b"")


def test_the_library_is_found_by_path_variable_or_loader(monkeypatch):
    path = os.environ["QUENTA_LIBRARY"]
    assert capi.Quenta(path).library_path == capi.Quenta().library_path == path
    monkeypatch.delenv("QUENTA_LIBRARY")
    monkeypatch.setenv("LD_LIBRARY_PATH", "")
    # Without either, the loader's name; whether it is installed decides the rest.
    try:
        assert capi.Quenta().library_path == "libquenta.so.1"
    except capi.LibraryNotFoundError as error:
        assert "libquenta.so.1" in str(error) and "QUENTA_LIBRARY" in str(error)
    for library, message in [("/nonexistent/libquenta.so.1", "cannot load"),
                             ("libc.so.6", "does not export QUENTA_")]:
        with pytest.raises(capi.LibraryNotFoundError, match=message):
            capi.Quenta(library)
