"""quenta.Quenta, one object per port, against quenta-sim."""

from __future__ import annotations

import fcntl
import os
import threading
import time
from pathlib import Path

import pytest

import quenta
from conftest import DEVICES, FAST, NAMES, READY

EXPECTED = [quenta.Device(name, f"02a0c7a1b2d{n}r", 7978) for n, name in enumerate(NAMES, 1)]


@pytest.fixture
def module(tmp_path: Path, quenta_sim_factory):
    """A simulated module with DEVICES nearby, not linked to COM8:."""
    devices = tmp_path / "devices.txt"
    devices.write_bytes(DEVICES)
    return quenta_sim_factory(args=READY + FAST + ["--devices", str(devices)], com8=False)


def test_search_pair_paired_unpair_with_every_name(module):
    seen = []
    with quenta.Quenta(module.device) as q:
        assert q.search(on_found=seen.append) == EXPECTED
        assert seen == EXPECTED and q.unread_names == 0
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


def test_a_name_that_could_not_be_read_is_counted(module):
    module.control("fault name:02a0c7a1b2d1r=error")
    with quenta.Quenta(module.device) as q:
        assert q.search() == EXPECTED[1:]
        assert q.unread_names == 1


class Recording:
    """The native session, noting which of its calls the object makes."""

    def __init__(self, session) -> None:
        self._session = session
        self.calls: list = []

    def __getattr__(self, name: str):
        self.calls.append(name)
        return getattr(self._session, name)


# A pseudo-terminal runs every rate, so both hand over; force picks the call
# that would hand over on a line that refused the module's data-mode rate.
@pytest.mark.parametrize("force, call", [(False, "data_mode"), (True, "data_mode_anyway")])
def test_force_picks_the_hand_over_anyway(module, force, call):
    with quenta.Quenta(module.device) as q:
        q._session = recording = Recording(q._session)
        since = len(module.transcript)
        q.data_mode(force=force)
        assert recording.calls == [call]
        module.transcript.wait_for_mode("data", since=since)


def traffic(module, since: int) -> list:
    """What reached the simulated module from index ``since`` on."""
    time.sleep(0.3)  # bytes on their way
    return [e for e in module.transcript.events()[since:] if e.kind in ("received", "data", "noise")]


def test_an_exception_in_the_progress_callback_comes_out_after_the_search(module):
    calls = []

    def found(device: quenta.Device) -> None:
        calls.append(device)
        raise KeyError(device.name)

    with quenta.Quenta(module.device) as q:
        with pytest.raises(KeyError, match="PLAIN-NAME"):
            q.search(on_found=found)
        # Called once; the search ran to its end and the object still works.
        assert calls == EXPECTED[:1]
        assert q.search() == EXPECTED


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


def test_the_port_is_opened_by_the_first_operation(module):
    since = len(module.transcript)
    with quenta.Quenta(module.device) as q:
        # Made, the object sent nothing and leaves the port to others ...
        assert traffic(module, since) == []
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


def test_port_none_is_com8_as_it_stands_at_construction(module, monkeypatch, tmp_path):
    monkeypatch.setenv("QUENTA_PORT_COM8", module.device)
    with quenta.Quenta() as q:
        monkeypatch.setenv("QUENTA_PORT_COM8", str(tmp_path / "elsewhere"))
        # The object keeps its port and says which it is.
        assert q.port == module.device
        assert q.search() == EXPECTED


def test_two_modules_at_once_from_two_threads(quenta_sim_factory):
    # The native calls let other threads run. Each inquiry takes 2 s: one after
    # the other would take 4 s and more, at the same time about 2 s, so 3.4 s
    # leaves a margin for a loaded machine.
    sims = [quenta_sim_factory(args=READY + ["--scan-ms", "2000", "--name-ms", "5"], com8=False)
            for _ in range(2)]
    results: dict = {}
    with quenta.Quenta(sims[0].device) as first, quenta.Quenta(sims[1].device) as second:
        threads = [threading.Thread(target=lambda q=q: results.update({q.port: q.search()}))
                   for q in (first, second)]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        elapsed = time.monotonic() - started
    assert [len(found) for found in results.values()] == [3, 3]
    assert elapsed < 3.4, f"the searches took {elapsed:.2f} s together"


def test_every_public_name_is_documented():
    package = Path(quenta.__file__).parent
    assert (package / "py.typed").is_file() and (package / "_native.pyi").is_file()
    for name in quenta.__all__:
        value = getattr(quenta, name)
        if callable(value):
            assert value.__doc__, name
    for name in dir(quenta.Quenta):
        if not name.startswith("_"):
            assert getattr(quenta.Quenta, name).__doc__, f"Quenta.{name}"
    assert os.path.basename(quenta._native.__file__).startswith("_native.")
