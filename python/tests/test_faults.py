"""Faults of the simulated module as the C functions (quenta.capi) meet them."""

from __future__ import annotations

import time

import pytest

from quenta import capi
from conftest import FAST, READY, waiting_for


@waiting_for("--scenario")
@pytest.mark.parametrize(
    "fault, call, expected, within",
    [
        # A refused inquiry ends the search at once rather than after its 15 s.
        ("AGI=error", "search", capi.CallFailedError, 3),
        ("AGI=vanish", "search", capi.CallFailedError, 3),
        ("ADWDRP=error", "pair", capi.CallFailedError, 3),
        # Answers in pieces or late (within the time-out) change nothing.
        ("AGI=split:7", "search", ["QUENTA-ALPHA", "QUENTA-BRAVO", "QUENTA-CHARLIE"], 5),
        ("AGND=delay:300", "search", ["QUENTA-ALPHA", "QUENTA-BRAVO", "QUENTA-CHARLIE"], 5),
        ("ADWDRP=split:3", "pair", None, 5),
    ],
)
def test_a_fault_from_the_start(lib, quenta_sim_factory, fault, call, expected, within):
    quenta_sim_factory(args=READY + FAST, scenario=f"fault {fault}")
    started = time.monotonic()
    run = lib.search if call == "search" else (lambda: lib.pair("QUENTA-BRAVO"))
    if isinstance(expected, type):
        with pytest.raises(expected) as failure:
            run()
        assert failure.value.function == ("QUENTA_searchDevices" if call == "search" else "QUENTA_pairDevice")
    else:
        assert run() == expected
    assert time.monotonic() - started < within


@waiting_for("--control")
@pytest.mark.parametrize("kind", ["silent", "garbage", "error"])
@pytest.mark.quenta_sim(args=READY + FAST)
def test_an_unanswered_read_back_reads_as_no_name(lib, quenta_sim, kind):
    lib.search()
    lib.pair("QUENTA-BRAVO")
    quenta_sim.control(f"fault ADRDRP={kind}")
    # The library reports success with an empty name when the read fails.
    assert lib.paired() == ""
    quenta_sim.control("clear ADRDRP")
    assert lib.paired() == "QUENTA-BRAVO"


@waiting_for("--scenario")
def test_a_vanished_module_fails_the_call_and_the_next_module_works(lib, quenta_sim_factory):
    gone = quenta_sim_factory(args=READY + FAST, scenario="fault AGI=vanish")
    with pytest.raises(capi.CallFailedError):
        lib.search()
    gone.stop()
    quenta_sim_factory(args=READY + FAST)
    assert lib.search() == ["QUENTA-ALPHA", "QUENTA-BRAVO", "QUENTA-CHARLIE"]


@waiting_for("--control")
@pytest.mark.quenta_sim(args=READY + FAST)
def test_vanish_and_return_through_the_control_channel(lib, quenta_sim):
    assert lib.paired() == ""
    quenta_sim.control("vanish")
    with pytest.raises(capi.CallFailedError):
        lib.search()
    quenta_sim.control("return")
    assert lib.search() == ["QUENTA-ALPHA", "QUENTA-BRAVO", "QUENTA-CHARLIE"]


@waiting_for("--control")
@pytest.mark.quenta_sim(args=READY + FAST, scenario="devices clear")
def test_devices_come_and_go_through_the_control_channel(lib, quenta_sim):
    # No device is a failed search for the library.
    with pytest.raises(capi.CallFailedError):
        lib.search()
    quenta_sim.control("device add 02a0c7a1b2f1r 7978 NEWCOMER")
    quenta_sim.control("device add 02a0c7a1b2f2r 1234 NOT-PAIRABLE")
    assert lib.search() == ["NEWCOMER"]
    quenta_sim.control("device remove 02a0c7a1b2f1r")
    with pytest.raises(capi.CallFailedError):
        lib.search()


@waiting_for("--control", "--transcript")
@pytest.mark.quenta_sim(args=READY + FAST)
def test_a_module_put_into_data_mode_is_brought_back_with_the_escape(lib, quenta_sim):
    assert lib.paired() == ""
    quenta_sim.control("mode data")
    since = len(quenta_sim.transcript)
    assert lib.paired() == ""
    quenta_sim.transcript.wait_for_mode("command", timeout=5, since=since)
    assert quenta_sim.state()["mode"] == "command"
