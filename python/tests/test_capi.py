"""quenta.capi, the C functions through ctypes, against the real libquenta.so.1 and quenta-sim."""

from __future__ import annotations

import os
import time
from pathlib import Path

import pytest

import quenta
from quenta import capi
from conftest import FAST, READY, waiting_for

# Names as the module reports them: plain, cut by the library after 16 bytes
# inside a UTF-8 character, not UTF-8 at all; and one of a class the library
# does not pair with.
DEVICES = (
    b"02a0c7a1b2d1r 7978 PLAIN-NAME\n"
    b"02a0c7a1b2d2r 7978 x" + "\u00e9".encode() * 8 + b"\n"
    b"02a0c7a1b2d3r 7978 Caf\xe9 Lumi\xe8re\n"
    b"02a0c7a1b2d4r 1234 Headset\n"
)
EXPECTED = ["PLAIN-NAME", "x" + "\u00e9" * 7 + "\udcc3", "Caf\udce9 Lumi\udce8re"]


@pytest.fixture
def devices_file(tmp_path: Path) -> str:
    path = tmp_path / "devices.txt"
    path.write_bytes(DEVICES)
    return str(path)


def test_search_pair_paired_unpair_round_trip_every_name(lib, quenta_sim_factory, devices_file):
    quenta_sim_factory(args=READY + FAST + ["--devices", devices_file])
    names = lib.search()
    assert names == EXPECTED
    for name in names:
        lib.pair(name)
        assert lib.paired() == name
        assert capi.encode_name(lib.paired()) == capi.encode_name(name)
    # The same bytes given as bytes pair the same device.
    lib.pair(capi.encode_name(names[0]))
    assert lib.paired() == names[0]
    # Unpairing leaves the peer entry, so the name still reads back.
    lib.unpair()
    assert lib.paired() == names[0]


@pytest.mark.quenta_sim(args=READY + FAST)
def test_unknown_name_fails_the_pairing_without_a_pairing_command(lib, quenta_sim):
    lib.search()
    with pytest.raises(capi.CallFailedError) as failure:
        lib.pair("NOBODY")
    assert failure.value.function == "QUENTA_pairDevice"
    assert "NOBODY" in str(failure.value) and quenta_sim.link in str(failure.value)
    assert "ADWDRP" not in quenta_sim.log()


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
def test_a_missing_device_fails_every_call_at_once_naming_it(lib, monkeypatch, tmp_path, call, function):
    missing = str(tmp_path / "no-such-device")
    monkeypatch.setenv("QUENTA_PORT_COM8", missing)
    started = time.monotonic()
    with pytest.raises(capi.CallFailedError) as failure:
        call(lib)
    assert time.monotonic() - started < 5
    assert failure.value.function == function
    assert failure.value.port == missing
    assert isinstance(failure.value, quenta.QuentaError)


@pytest.mark.quenta_sim(args=READY + FAST)
def test_open_port_hands_over_a_file_the_caller_owns(lib, quenta_sim):
    lib.search()
    # The library's own calls hold the port until the hand-over.
    with pytest.raises(capi.CallFailedError):
        lib.open_port()
    lib.switch_to_data_mode()
    with lib.open_port() as port:
        assert os.get_blocking(port.fileno())
        port.write(b"hello peer\r\n")
        log = quenta_sim.wait_for_log("hello peer")
    # Carried as data, at the handle's line settings.
    data = [line for line in log.splitlines() if " DATA " in line and "hello peer" in line]
    assert data and "921600 rtscts" in data[0], log[-2000:]
    # Closed by the caller, the port opens again (it is exclusive while open).
    with lib.open_port(blocking=False) as again:
        assert not os.get_blocking(again.fileno())
        assert again.read(64) in (None, b"")


@waiting_for("--control")
@pytest.mark.quenta_sim(args=READY + FAST)
def test_open_port_reads_what_the_peer_sends(lib, quenta_sim):
    with lib.open_port() as port:
        quenta_sim.control("peer ping from the peer")
        received = b""
        deadline = time.monotonic() + 5
        while b"ping from the peer" not in received and time.monotonic() < deadline:
            received += port.read(64) or b""
    assert b"ping from the peer" in received


def test_the_library_is_found_by_path_variable_or_loader(monkeypatch, tmp_path):
    path = os.environ["QUENTA_LIBRARY"]
    assert capi.Quenta(path).library_path == path
    monkeypatch.setenv("QUENTA_LIBRARY", path)
    assert capi.Quenta().library_path == path
    monkeypatch.delenv("QUENTA_LIBRARY")
    monkeypatch.setenv("LD_LIBRARY_PATH", "")
    # Without either, the loader's name; whether it is installed decides the rest.
    try:
        assert capi.Quenta().library_path == "libquenta.so.1"
    except capi.LibraryNotFoundError as error:
        assert "libquenta.so.1" in str(error) and "QUENTA_LIBRARY" in str(error)


@pytest.mark.parametrize(
    "library, message",
    [("/nonexistent/libquenta.so.1", "cannot load"), ("libc.so.6", "does not export QUENTA_")],
)
def test_a_wrong_library_is_refused_with_its_name(library, message):
    with pytest.raises(capi.LibraryNotFoundError, match=message):
        capi.Quenta(library)
