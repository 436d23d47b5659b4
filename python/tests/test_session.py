"""quenta.Quenta, one object per port, against quenta-sim."""

from __future__ import annotations

import concurrent.futures
import fcntl
import time
from unittest import mock

import pytest

import quenta
from conftest import DEVICES, FAST, NAMES, READY

EXPECTED = [quenta.Device(name, f"02a0c7a1b2d{n}r", 7978) for n, name in enumerate(NAMES, 1)]


@pytest.fixture
def module(tmp_path, quenta_sim_factory):
    """A simulated module with DEVICES nearby, not linked to COM8:."""
    devices = tmp_path / "devices.txt"
    devices.write_bytes(DEVICES)
    return quenta_sim_factory(args=READY + FAST + ["--devices", str(devices)], com8=False)


def test_search_pair_paired_unpair_with_every_name(module):
    seen = []

    def found(device: quenta.Device) -> None:
        seen.append(device)
        raise KeyError(device.name)

    with quenta.Quenta(module.device) as q:
        # An exception in the progress callback comes out after the search,
        # which called it no more; the object goes on.
        with pytest.raises(KeyError, match="PLAIN-NAME"):
            q.search(on_found=found)
        assert q.search(on_found=seen.append) == EXPECTED
        assert seen == EXPECTED[:1] + EXPECTED and q.unread_names == 0
        # The read-back carries no device class.
        for device in EXPECTED:
            q.pair(device)
            assert q.paired() == quenta.Device(device.name, device.address, 0)
        # A name pairs as well as its device, given as str or as its bytes.
        q.pair(EXPECTED[0].name)
        assert q.paired().name == EXPECTED[0].name
        q.pair(EXPECTED[2].raw_name)
        assert q.paired().raw_name == b"Caf\xe9 Lumi\xe8re"
        # Unpairing leaves the peer entry, so it still reads back.
        q.unpair()
        assert q.paired().address == EXPECTED[2].address
        module.control("fault name:02a0c7a1b2d1r=error")
        assert q.search() == EXPECTED[1:] and q.unread_names == 1


# The classes are also the built-in exceptions a caller would catch.
@pytest.mark.parametrize(
    "call, error, builtin",
    [
        (lambda q: q.pair("NOBODY"), quenta.DeviceNotFoundError, LookupError),
        (lambda q: q.pair("A\0B"), quenta.BadArgumentError, ValueError),
        (lambda q: q.send_line("AT\rAT"), quenta.BadArgumentError, ValueError),
    ],
)
def test_what_cannot_be_done_raises_by_cause_and_the_object_goes_on(module, call, error, builtin):
    with quenta.Quenta(module.device) as q:
        q.search()
        with pytest.raises(error) as failure:
            call(q)
        assert isinstance(failure.value, builtin) and failure.value.port == module.device
        assert q.search() == EXPECTED


# A pseudo-terminal runs every rate, so both hand over; force picks the call
# that would hand over on a line that refused the module's data-mode rate.
@pytest.mark.parametrize("force, call", [(False, "data_mode"), (True, "data_mode_anyway")])
def test_force_picks_the_hand_over_anyway(module, force, call):
    with quenta.Quenta(module.device) as q:
        q._session = mock.Mock(wraps=q._session)
        since = len(module.transcript)
        q.data_mode(force=force)
        assert [name for name, _, _ in q._session.method_calls] == [call]
        module.transcript.wait_for_mode("data", since=since)


def traffic(module, since: int) -> list:
    """What reached the simulated module from index ``since`` on."""
    time.sleep(0.3)  # bytes on their way
    return [e for e in module.transcript.events()[since:] if e.kind in ("received", "data", "noise")]


def test_one_port_one_object_until_it_is_closed(module):
    first = quenta.Quenta(module.device)
    assert first.search() == EXPECTED
    since = len(module.transcript)
    with pytest.raises(quenta.PortInUseError) as refused:
        quenta.Quenta(module.device)
    assert (refused.value.port, refused.value.operation) == (module.device, "open")
    first.close()
    first.close()
    with pytest.raises(quenta.SessionClosedError) as closed:
        first.search()
    assert closed.value.operation == "search"
    # Closing released the port and sent nothing: the module stays in command mode.
    assert traffic(module, since) == [] and module.state()["mode"] == "command"
    with quenta.Quenta(module.device) as again:
        assert again.search() == EXPECTED
    assert again.closed


def test_the_port_is_opened_by_the_first_operation(module, monkeypatch, tmp_path):
    since = len(module.transcript)
    # Port None is COM8: as it stands at construction.
    monkeypatch.setenv("QUENTA_PORT_COM8", module.device)
    with quenta.Quenta() as q:
        monkeypatch.setenv("QUENTA_PORT_COM8", str(tmp_path / "elsewhere"))
        # Made, the object sent nothing and leaves the port to others ...
        assert q.port == module.device and traffic(module, since) == []
        with open(module.device, "rb+", buffering=0) as holder:
            fcntl.flock(holder, fcntl.LOCK_EX)
            # ... until its first operation opens it.
            with pytest.raises(quenta.PortInUseError) as refused:
                q.paired()
            assert (refused.value.operation, refused.value.port) == ("paired", module.device)
        assert q.paired() is None
        # Held now: another program is refused (at the open, or root at the lock).
        with pytest.raises(OSError):
            with open(module.device, "rb+", buffering=0) as holder:
                fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)


def test_two_modules_at_once_from_two_threads(quenta_sim_factory):
    # The native calls let other threads run. Each inquiry takes 2 s: one after
    # the other would take 4 s and more, at the same time about 2 s, so 3.4 s
    # leaves a margin for a loaded machine.
    args = READY + ["--scan-ms", "2000", "--name-ms", "5"]
    ports = [quenta_sim_factory(args=args, com8=False).device for _ in range(2)]
    with quenta.Quenta(ports[0]) as first, quenta.Quenta(ports[1]) as second, \
            concurrent.futures.ThreadPoolExecutor(2) as pool:
        started = time.monotonic()
        results = list(pool.map(lambda q: q.search(), (first, second)))
        elapsed = time.monotonic() - started
    assert [len(found) for found in results] == [3, 3]
    assert elapsed < 3.4, f"the searches took {elapsed:.2f} s together"
