"""The quenta_sim fixture: starts what the marker asks, exposes it, stops it."""

from __future__ import annotations

import json
import os
import stat

import pytest

import quenta
from quenta.sim import SimControlError, SimError, Simulator
from conftest import FAST, READY

pytest_plugins = ["pytester"]


@pytest.mark.quenta_sim(args=READY + FAST + ["--name-ms", "7"])
def test_the_marker_and_the_factory_start_modules_com8_leads_to_the_last_linked(
        lib, quenta_sim, quenta_sim_factory, tmp_path):
    assert quenta_sim.running and stat.S_ISCHR(os.stat(quenta_sim.device).st_mode)
    assert os.path.realpath(quenta_sim.link) == os.path.realpath(quenta_sim.device)
    assert os.environ["QUENTA_PORT_COM8"] == quenta_sim.link
    devices = tmp_path / "one.txt"
    devices.write_text("02a0c7a1b2e9r 7978 SECOND\n")
    second = quenta_sim_factory(args=READY + FAST + ["--devices", str(devices)])
    unlinked = quenta_sim_factory(args=READY + FAST, com8=False)
    assert unlinked.link is None and os.environ["QUENTA_PORT_COM8"] == second.link
    assert len({quenta_sim.device, second.device, unlinked.device}) == 3
    # The library resolves COM8: when it first opens the port, here.
    assert lib.search() == ["SECOND"]


def test_a_simulator_that_cannot_start_says_why_and_leaves_nothing(tmp_path):
    sim = Simulator(["--baud", "12345"])
    with pytest.raises(SimError, match="unsupported bit rate 12345"):
        sim.start()
    assert not sim.running and not os.path.exists(sim.workdir)


def test_the_fixture_stops_everything_even_when_the_test_fails(pytester):
    record = pytester.path / "record.json"
    pytester.makepyfile(f"""
        import json, os, pytest

        @pytest.mark.quenta_sim(args=["--scan-ms", "100"])
        def test_fails(quenta_sim, quenta_sim_factory):
            other = quenta_sim_factory(com8=False)
            with open({str(record)!r}, "w") as f:
                json.dump({{"pids": [quenta_sim.pid, other.pid],
                           "paths": [quenta_sim.link, quenta_sim.workdir, other.workdir],
                           "com8": os.environ["QUENTA_PORT_COM8"]}}, f)
            assert False, "the test fails"

        @pytest.mark.quenta_sim("--scan-ms")
        def test_misused_marker(quenta_sim):
            pass
        """)
    before = os.environ.get("QUENTA_PORT_COM8")
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(failed=1, errors=1)
    result.stdout.fnmatch_lines(["*use keywords args=, scenario=, com8=*", "*the test fails*"])
    # The module's traffic comes with the failure's report.
    result.stdout.fnmatch_lines(["*the test fails*", "*Captured quenta-sim teardown*", "/dev/pts/*"])
    seen = json.loads(record.read_text())
    assert seen["com8"] == seen["paths"][0]
    # Reaped, not only signalled: no such process at all, not even a zombie.
    assert [pid for pid in seen["pids"] if os.path.exists(f"/proc/{pid}")] == []
    assert [path for path in seen["paths"] if os.path.lexists(path)] == []
    assert os.environ.get("QUENTA_PORT_COM8") == before


@pytest.mark.quenta_sim(args=READY + FAST)
def test_the_transcript_is_read_as_it_grows(lib, quenta_sim):
    transcript = quenta_sim.transcript
    lib.search()
    event = transcript.wait_for_received(b"AT*AGI=", timeout=5)
    assert event.data == b"AT*AGI=2,10,15\r"
    assert event.host is not None and event.host["baud"] == 921600
    answered = transcript.wait_for(lambda e: e.kind == "sent" and b"*AGI:" in e.data, timeout=5)
    assert answered.t >= event.t
    marker = len(transcript)
    lib.switch_to_data_mode()
    transcript.wait_for_mode("data", timeout=5, since=marker)
    with pytest.raises(TimeoutError, match="no matching transcript event"):
        transcript.wait_for(lambda e: e.kind == "received" and e.data.startswith(b"AT*NOPE"), timeout=0.3)
    assert b"AT*AGI=2,10,15\r" in transcript.received_lines()
    assert "AT*AGI=2,10,15" in quenta_sim.log()


# The statements themselves are the simulator's tests; here what the error carries.
@pytest.mark.parametrize("statement", ["nonsense", "fault AGI=bogus", "set scan-ms many"])
@pytest.mark.quenta_sim(args=READY + FAST)
def test_control_error_answers_raise_with_the_problem(quenta_sim, statement):
    assert isinstance(quenta_sim.state(), dict) and quenta_sim.control("set scan-ms 120") is None
    with pytest.raises(SimControlError) as refused:
        quenta_sim.control(statement)
    assert (refused.value.statement, refused.value.line) == (statement, 1) and refused.value.problem
    assert quenta_sim.control("clear all") is None  # still serving


def test_a_bad_scenario_line_stops_the_start_naming_the_line():
    with pytest.raises(SimError, match=r"scenario\.txt:2: .*bogus"):
        Simulator(FAST, scenario=["set scan-ms 100", "fault AGI=bogus"]).start()
