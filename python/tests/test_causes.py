"""Each cause reaches its exception class: one fault per cause from the session's table.

The session's own tests run every row of the table; here the binding maps what
the session gives. The rows run on modules of their own, all at the same time
(objects on different ports are independent).
"""

from __future__ import annotations

import concurrent.futures
import fcntl
import grp
import os
import pwd
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import List, Optional, Tuple

import pytest

import quenta
from conftest import READY, SOURCE_DIR
from quenta.sim import Simulator

TABLE = SOURCE_DIR / "tests" / "cause_table.txt"
SIM = READY + ["--scan-ms", "200"]


@dataclass(frozen=True)
class Row:
    operation: str
    argument: str
    setup: str
    cause: str
    exit_code: int


def rows() -> List[Row]:
    """The table's first row of each cause."""
    first = {}
    for line in TABLE.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            command, setup, cause, exit_code = (cell.strip() for cell in line.split("|"))
            operation, _, argument = command.partition(" ")
            first.setdefault(cause, Row(operation, argument, setup, cause, int(exit_code)))
    return list(first.values())


def attempt(port: str, row: Row) -> Optional[tuple]:
    """None, or what the exception carries: cause, its class's cause, exit code, operation, port, argument."""
    try:
        with quenta.Quenta(port) as q:
            calls = {
                "search": q.search,
                "pair": lambda: q.pair(row.argument),
                "unpair": q.unpair,
                "paired": q.paired,
                "data-mode": q.data_mode,
                "at": lambda: q.send_line(row.argument),
            }
            calls[row.operation]()
    except quenta.OperationError as error:
        return (error.cause, type(error).CAUSE, error.exit_code, error.operation, error.port,
                error.argument)
    return None


# Run as another user, to whom the device is closed.
AS_ANOTHER_USER = """
import sys, quenta
try:
    quenta.Quenta(sys.argv[1])
except quenta.PermissionDeniedError as error:
    print(error.cause, error.CAUSE, error.exit_code, error.operation, error.port, error.owner,
          error.group, oct(error.mode))
"""


def as_another_user(device: str) -> tuple:
    # Root may open anything: the row runs as nobody. Another user closes
    # the device to itself.
    root = os.geteuid() == 0
    os.chmod(device, 0o600 if root else 0)
    user = {"user": 65534, "group": 65534} if root else {}
    done = subprocess.run([sys.executable, "-c", AS_ANOTHER_USER, device], capture_output=True,
                          text=True, timeout=30, **user)
    fields = done.stdout.split()
    assert done.returncode == 0 and len(fields) == 8, done.stdout + done.stderr
    stat = os.stat(device)
    owner, group = pwd.getpwuid(stat.st_uid).pw_name, grp.getgrgid(stat.st_gid).gr_name
    assert fields[5:] == [owner, group, "0o600" if root else "0o0"]
    return (fields[0], fields[1], int(fields[2]), fields[3], fields[4], b"")


def outcome(row: Row, workdir: Path) -> Tuple[str, Optional[tuple]]:
    """The port the row used, and what its exception carried."""
    if row.setup in ("port:missing", "port:file"):
        path = workdir / "port"
        if row.setup == "port:file":
            path.write_text("not a device\n")
        return str(path), attempt(str(path), row)
    scenario = None if row.setup.startswith("port:") else row.setup.split(";")
    with Simulator(SIM, scenario=scenario) as sim:
        if row.setup == "port:busy":
            with open(sim.device, "rb+", buffering=0) as holder:
                fcntl.flock(holder, fcntl.LOCK_EX)
                return sim.device, attempt(sim.device, row)
        if row.setup == "port:permission":
            return sim.device, as_another_user(sim.device)
        return sim.device, attempt(sim.device, row)


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory) -> dict:
    table = rows()
    with concurrent.futures.ThreadPoolExecutor(len(table)) as pool:
        futures = {row: pool.submit(outcome, row, tmp_path_factory.mktemp("row")) for row in table}
        return {row: future.result() for row, future in futures.items()}


@pytest.mark.parametrize("row", rows(), ids=lambda row: row.cause)
def test_each_cause_raises_its_class(outcomes, row):
    port, failure = outcomes[row]
    if row.cause == "none":
        assert failure is None
        return
    # Where the port is the cause, the object is refused as it is made.
    opening = row.setup.startswith("port:")
    operation, argument = ("open", "") if opening else (row.operation, row.argument)
    assert failure == (row.cause, row.cause, row.exit_code, operation, port, argument.encode())


def stand_in(operation: str, message: str) -> SimpleNamespace:
    """A native result as the core would give it, for messages no host line can bring about."""
    return SimpleNamespace(cause="bad_argument", operation=operation, port="/dev/ttyQ0",
                           argument=b"", answer=b"", detail="", hint="", exit_code=2,
                           message=message)


# A withheld hand-over (a line that refused 921600 bit/s) names the tool's
# option in the core's message; the exception names the argument instead.
@pytest.mark.parametrize(
    "operation, message, expected",
    [
        ("data-mode", "quenta: not handing over on /dev/ttyQ0: ... or --force to hand over anyway",
         "not handing over on /dev/ttyQ0: ... or data_mode(force=True) to hand over anyway"),
        ("at", "quenta: /dev/ttyQ0 answered 'AT--force' without OK",
         "/dev/ttyQ0 answered 'AT--force' without OK"),
    ],
)
def test_a_withheld_hand_over_names_the_argument_that_forces_it(operation, message, expected):
    error = quenta.errors.error_class("bad_argument")(stand_in(operation, message))
    assert isinstance(error, quenta.BadArgumentError) and str(error) == expected
