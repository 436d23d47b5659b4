"""Each cause of the session's table reaches its exception class.

The session's own tests run the table's faults; here the binding's classes, and
the one row the session's tests cannot run: a device this user may not open.
"""

from __future__ import annotations

import grp
import os
import pwd
import subprocess
import sys
from types import SimpleNamespace

import pytest

import quenta
from conftest import READY, SOURCE_DIR
from quenta.sim import Simulator


def stand_in(cause: str, operation: str, message: str = "") -> SimpleNamespace:
    """A native result as the core gives it, for what no host line can bring about."""
    return SimpleNamespace(cause=cause, operation=operation, port="/dev/ttyQ0", argument=b"",
                           answer=b"", detail="", hint="", exit_code=4, message=message)


def test_each_cause_of_the_table_has_a_class_of_its_own():
    lines = (SOURCE_DIR / "tests" / "cause_table.txt").read_text().splitlines()
    causes = {line.split("|")[2].strip() for line in lines if line.strip() and line[0] != "#"}
    classes = {cause: quenta.errors.error_class(cause) for cause in causes - {"none"}}
    assert {cause: cls.CAUSE for cause, cls in classes.items()} == {c: c for c in classes}
    assert len(set(classes.values())) == len(classes) > 10


# Run as another user, to whom the device is closed.
AS_ANOTHER_USER = """
import sys, quenta
try:
    quenta.Quenta(sys.argv[1])
except quenta.PermissionDeniedError as e:
    print(e.cause, e.CAUSE, e.exit_code, e.operation, e.port, e.owner, e.group, oct(e.mode))
"""


def name_of(lookup, number: int) -> str:
    """An account's name, or its number where it has none (a uid run through setpriv)."""
    try:
        return lookup(number)[0]
    except KeyError:
        return str(number)


def test_a_device_this_user_may_not_open_is_refused_naming_owner_group_and_mode():
    with Simulator(READY) as sim:
        # Root may open anything: the row runs as nobody. Another user closes
        # the device to itself.
        root = os.geteuid() == 0
        os.chmod(sim.device, 0o600 if root else 0)
        user = {"user": 65534, "group": 65534} if root else {}
        done = subprocess.run([sys.executable, "-c", AS_ANOTHER_USER, sim.device],
                              capture_output=True, text=True, timeout=30, **user)
        stat = os.stat(sim.device)
        owner, group = name_of(pwd.getpwuid, stat.st_uid), name_of(grp.getgrgid, stat.st_gid)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["permission_denied", "permission_denied", "3", "open",
                                       sim.device, owner, group, "0o600" if root else "0o0"]


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
    error = quenta.errors.error_class("bad_argument")(stand_in("bad_argument", operation, message))
    assert isinstance(error, quenta.BadArgumentError) and str(error) == expected
