"""pytest plugin: the fixtures ``quenta_sim`` and ``quenta_sim_factory``.

Installing the package registers it (entry point ``pytest11``). A test asks for
the simulated module it wants with a marker::

    @pytest.mark.quenta_sim(args=["--scan-ms", "200"], scenario="fault AGI=error")
    def test_search_fails(quenta_sim):
        with quenta.Quenta(quenta_sim.link) as q, pytest.raises(quenta.ModuleRefusedError):
            q.search()

The fixture starts ``quenta-sim`` on a pseudo-terminal, links a fresh path to
it and points the library's "COM8:" there (``QUENTA_PORT_COM8``, for this test
only, so ``Quenta()`` and the C functions reach it too), and stops it at the
end of the test, whatever the outcome. Several modules in one test, each
independent of the others, or one started later: ``quenta_sim_factory``.
"""

from __future__ import annotations

import os
import tempfile
from typing import Any, Iterable, Iterator, List, Sequence, Union

import pytest

from .sim import SIM_ENV, Simulator, find_simulator

__all__ = ["SimFactory"]


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("quenta", "QUENTA simulated module")
    group.addoption(
        "--quenta-sim",
        dest="quenta_sim_program",
        default=None,
        metavar="PATH",
        help=f"the quenta-sim program for the quenta_sim fixture (default: ${SIM_ENV}, else PATH)",
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "quenta_sim(args=(), scenario=None, com8=True): options and scenario of the simulated "
        "module that the quenta_sim fixture starts",
    )


class SimFactory:
    """Starts simulators for one test and stops every one of them at its end.

    Call it: ``factory(args=[...], scenario="...", com8=True)`` returns a started
    :class:`~quenta.sim.Simulator`. With ``com8`` true, "COM8:" of the library
    leads to this simulator (the last one started with it wins).
    """

    def __init__(self, program: str, monkeypatch: pytest.MonkeyPatch) -> None:
        self.program = program
        self._monkeypatch = monkeypatch
        self.started: List[Simulator] = []

    def __call__(
        self,
        args: Sequence[str] = (),
        scenario: Union[str, Iterable[str], None] = None,
        com8: bool = True,
    ) -> Simulator:
        # The link lives in the simulator's own temporary folder: unique, and
        # gone with it.
        workdir = tempfile.mkdtemp(prefix="qsim-")
        link = os.path.join(workdir, "com8") if com8 else None
        sim = Simulator(args, scenario=scenario, link=link, program=self.program)
        # Let the simulator own the folder, so stop() removes it.
        os.rmdir(sim.workdir)
        sim.workdir = workdir
        sim.log_path = os.path.join(workdir, "sim.log")
        sim.stderr_path = os.path.join(workdir, "sim.err")
        self.started.append(sim)
        sim.start()
        if link is not None:
            self._monkeypatch.setenv("QUENTA_PORT_COM8", link)
        return sim

    def stop_all(self) -> None:
        """Stops every simulator of this test; the first failure to stop is raised."""
        failures = []
        for sim in reversed(self.started):
            try:
                sim.stop()
            except Exception as error:  # stop the others all the same
                failures.append(error)
        if failures:
            raise failures[0]


@pytest.fixture
def quenta_sim_factory(
    request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch
) -> Iterator[SimFactory]:
    """A :class:`SimFactory`: start simulators on demand within the test.

    Each call starts one more, independent of the others (its own device,
    link and control socket); ``com8=False`` leaves "COM8:" alone, for
    objects that name their port (``quenta.Quenta(sim.device)``).
    """
    program = find_simulator(request.config.getoption("quenta_sim_program"))
    factory = SimFactory(program, monkeypatch)
    try:
        yield factory
    finally:
        factory.stop_all()


@pytest.fixture
def quenta_sim(request: pytest.FixtureRequest, quenta_sim_factory: SimFactory) -> Iterator[Simulator]:
    """A running simulated module, as the test's ``quenta_sim`` marker asks.

    Exposes ``device`` (the pseudo-terminal), ``link`` (linked to it; "COM8:"
    of the library leads there), ``transcript``, ``control(statement)``,
    ``state()`` and ``log()``. Stopped at the end of the test.
    """
    marker = request.node.get_closest_marker("quenta_sim")
    options: dict[str, Any] = {}
    if marker is not None:
        if marker.args:
            raise pytest.UsageError("quenta_sim marker: use keywords args=, scenario=, com8=")
        options = dict(marker.kwargs)
        unknown = set(options) - {"args", "scenario", "com8"}
        if unknown:
            raise pytest.UsageError(f"quenta_sim marker: unknown keywords {sorted(unknown)}")
    sim = quenta_sim_factory(**options)
    yield sim
    # What the module saw, beside a failure's report.
    request.node.add_report_section("teardown", "quenta-sim", sim.log()[-20000:])
