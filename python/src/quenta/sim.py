"""Runs ``quenta-sim``, the simulated radio module, for tests (standard library only).

::

    with Simulator(["--scan-ms", "200"], scenario="fault AGI=error") as sim:
        sim.device                 # the pseudo-terminal to open
        sim.control("state")       # {"mode": ..., ...}
        sim.transcript.wait_for(lambda e: e.kind == "mode" and e.mode == "data")

The pytest fixture ``quenta_sim`` (:mod:`quenta.pytest_plugin`) is built on this.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Union

from .errors import QuentaError

__all__ = [
    "SIM_ENV",
    "SimError",
    "SimControlError",
    "SimEvent",
    "Transcript",
    "Simulator",
    "find_simulator",
    "simulator_options",
]

#: Environment variable naming the ``quenta-sim`` program (else it is looked up in PATH).
SIM_ENV = "QUENTA_SIM"

_START_TIMEOUT = 10.0
_STOP_TIMEOUT = 5.0


class SimError(QuentaError):
    """The simulator could not be started, reached or used."""


class SimControlError(SimError):
    """The simulator answered a control statement (or scenario line) with ``error:``.

    Attributes:
        statement: the statement sent.
        line: the line number the simulator named (1 for a control statement).
        problem: the simulator's text after the line number.
    """

    def __init__(self, statement: str, answer: str) -> None:
        self.statement = statement
        self.answer = answer
        self.line: Optional[int] = None
        self.problem = answer[len("error:"):].strip()
        head, _, rest = self.problem.partition(":")
        if head.startswith("line ") and head[5:].strip().isdigit():
            self.line = int(head[5:])
            self.problem = rest.strip()
        super().__init__(f"quenta-sim refused {statement!r}: {answer}")


@dataclass(frozen=True)
class SimEvent:
    """One line of the simulator's transcript.

    Attributes:
        t: seconds since the simulator started.
        kind: ``received``, ``sent``, ``data``, ``noise``, ``mode`` or ``note``.
        data: the exact bytes (the transcript's ``bytes`` field, one code point a byte).
        mode: the module's mode after the event, when given.
        host: the host's line settings (``baud``, ``bits``, ``parity``, ``stop``,
            ``rtscts``) or ``None``.
        note: the text of a note or mode change, when given.
        raw: the whole decoded JSON object.
    """

    t: float
    kind: str
    data: bytes = b""
    mode: Optional[str] = None
    host: Optional[Dict[str, Any]] = None
    note: Optional[str] = None
    raw: Dict[str, Any] = field(default_factory=dict, compare=False, repr=False)

    @classmethod
    def from_json(cls, obj: Dict[str, Any]) -> "SimEvent":
        text = obj.get("bytes") or ""
        return cls(
            t=float(obj.get("t", 0.0)),
            kind=str(obj.get("kind", "")),
            data=text.encode("latin-1"),
            mode=obj.get("mode"),
            host=obj.get("host"),
            note=obj.get("note"),
            raw=obj,
        )


class Transcript:
    """The simulator's JSON Lines transcript, read incrementally as it grows."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._events: List[SimEvent] = []
        self._offset = 0
        self._partial = b""

    def _read(self) -> None:
        try:
            with open(self.path, "rb") as file:
                file.seek(self._offset)
                chunk = file.read()
        except FileNotFoundError:
            return
        self._offset += len(chunk)
        lines = (self._partial + chunk).split(b"\n")
        # The last piece is a line still being written (or empty).
        self._partial = lines.pop()
        for line in lines:
            if line.strip():
                self._events.append(SimEvent.from_json(json.loads(line)))

    def events(self) -> List[SimEvent]:
        """Every event so far, oldest first."""
        self._read()
        return list(self._events)

    def __len__(self) -> int:
        self._read()
        return len(self._events)

    def received_lines(self) -> List[bytes]:
        """The command lines the module received so far, each with its CR."""
        return [event.data for event in self.events() if event.kind == "received"]

    def wait_for(
        self,
        predicate: Callable[[SimEvent], bool],
        timeout: float = 5.0,
        since: int = 0,
    ) -> SimEvent:
        """Waits for the first event from index ``since`` on that matches.

        Pass ``since=len(transcript)`` to wait only for an event still to come.

        Raises:
            TimeoutError: none matched within ``timeout`` seconds (the message
                lists the last events seen).
        """
        deadline = time.monotonic() + timeout
        checked = since
        while True:
            events = self.events()
            for event in events[checked:]:
                if predicate(event):
                    return event
            checked = max(checked, len(events))
            if time.monotonic() >= deadline:
                tail = "\n  ".join(repr(e) for e in events[-8:]) or "(none)"
                raise TimeoutError(f"no matching transcript event within {timeout} s; last events:\n  {tail}")
            time.sleep(0.02)

    def wait_for_received(self, prefix: bytes, timeout: float = 5.0, since: int = 0) -> SimEvent:
        """Waits for a received command line that starts with ``prefix`` (e.g. ``b"AT*AGI"``)."""
        return self.wait_for(lambda e: e.kind == "received" and e.data.startswith(prefix), timeout, since)

    def wait_for_mode(self, mode: str, timeout: float = 5.0, since: int = 0) -> SimEvent:
        """Waits for the module to change into ``mode`` (``command``, ``data``, ...)."""
        return self.wait_for(
            lambda e: e.kind == "mode" and (e.mode == mode or e.note == mode or e.data == mode.encode()),
            timeout,
            since,
        )


def find_simulator(program: Optional[str] = None) -> str:
    """The ``quenta-sim`` to run: ``program``, else ``$QUENTA_SIM``, else the one in PATH.

    Raises:
        SimError: none found.
    """
    candidate = program or os.environ.get(SIM_ENV) or shutil.which("quenta-sim")
    if not candidate or not os.access(candidate, os.X_OK):
        raise SimError(
            f"quenta-sim not found ({candidate or 'not in PATH'}): install quenta-tools, "
            f"or name it with {SIM_ENV} or pytest's --quenta-sim"
        )
    return candidate


_options_cache: Dict[str, frozenset] = {}


def simulator_options(program: str) -> frozenset:
    """The long options that this ``quenta-sim`` lists in its ``--help``."""
    if program not in _options_cache:
        out = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=10).stdout
        words = (word.rstrip(",=") for line in out.splitlines() for word in line.split())
        _options_cache[program] = frozenset(w.split("=")[0] for w in words if w.startswith("--"))
    return _options_cache[program]


class Simulator:
    """One ``quenta-sim`` process on a pseudo-terminal.

    Args:
        args: further options for ``quenta-sim`` (``["--scan-ms", "200"]``).
        scenario: statements, one a line, given with ``--scenario`` (text or a
            sequence of lines).
        link: make this path a symbolic link to the device (``--link``).
        program: the ``quenta-sim`` to run (see :func:`find_simulator`).
        workdir: where the transcript, scenario, log and control socket go;
            default a new temporary folder, removed by :meth:`stop`.

    The transcript and the control channel are used when this ``quenta-sim``
    offers ``--transcript`` and ``--control``; otherwise using them raises
    :class:`SimError`.
    """

    def __init__(
        self,
        args: Sequence[str] = (),
        scenario: Union[str, Iterable[str], None] = None,
        link: Optional[str] = None,
        program: Optional[str] = None,
        workdir: Optional[str] = None,
    ) -> None:
        self.program = find_simulator(program)
        self.args = list(args)
        self.scenario = scenario if scenario is None or isinstance(scenario, str) else "\n".join(scenario)
        self.link = link
        self._own_workdir = workdir is None
        # Short: a Unix socket path has room for about 100 bytes.
        self.workdir = workdir or tempfile.mkdtemp(prefix="qsim-")
        self.log_path = os.path.join(self.workdir, "sim.log")
        self.stderr_path = os.path.join(self.workdir, "sim.err")
        self.transcript_path: Optional[str] = None
        self.control_path: Optional[str] = None
        self.device: str = ""
        self.process: Optional[subprocess.Popen] = None
        self._transcript: Optional[Transcript] = None

    # ------------------------------------------------------------------ life cycle
    def command(self) -> List[str]:
        """The command line :meth:`start` runs."""
        options = simulator_options(self.program)
        command = [self.program]
        if "--transcript" in options:
            self.transcript_path = os.path.join(self.workdir, "transcript.jsonl")
            command += ["--transcript", self.transcript_path]
        if "--control" in options:
            self.control_path = os.path.join(self.workdir, "control.sock")
            command += ["--control", self.control_path]
        if self.link:
            command += ["--link", self.link]
        if self.scenario is not None:
            if "--scenario" not in options:
                raise SimError(f"{self.program} has no --scenario option")
            path = os.path.join(self.workdir, "scenario.txt")
            with open(path, "w", encoding="utf-8") as file:
                file.write(self.scenario if self.scenario.endswith("\n") else self.scenario + "\n")
            command += ["--scenario", path]
        return command + self.args

    def start(self) -> "Simulator":
        """Starts the simulator and waits until its device (and control socket) are there.

        Raises:
            SimError: it did not start (its message on standard error is quoted).
        """
        command = self.command()
        with open(self.log_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            self.device = self._wait_started(command)
            if self.transcript_path is not None:
                self._transcript = Transcript(self.transcript_path)
        except BaseException:
            self.stop()
            raise
        return self

    def _wait_started(self, command: List[str]) -> str:
        deadline = time.monotonic() + _START_TIMEOUT
        while True:
            with open(self.log_path, "rb") as file:
                first = file.readline()
            ready = first.endswith(b"\n")
            if ready and self.link is not None:
                ready = os.path.islink(self.link)
            if ready and self.control_path is not None:
                ready = os.path.exists(self.control_path)
            if ready:
                return first.decode("utf-8", "surrogateescape").strip()
            assert self.process is not None
            if self.process.poll() is not None:
                raise SimError(
                    f"quenta-sim ended with exit {self.process.returncode} at start: "
                    f"{self.stderr().strip() or '(nothing on standard error)'}\n  command: {command}"
                )
            if time.monotonic() >= deadline:
                raise SimError(f"quenta-sim did not come up within {_START_TIMEOUT} s\n  command: {command}")
            time.sleep(0.01)

    def stop(self) -> Optional[int]:
        """Stops the simulator (SIGTERM, then SIGKILL after 5 s) and waits for it.

        Idempotent. Returns its exit status (negative: ended by that signal),
        ``None`` if it never ran. The temporary folder goes too.
        """
        status = None
        process = self.process
        if process is not None:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(_STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            status = process.returncode
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
        return status

    @property
    def running(self) -> bool:
        """True while the process runs."""
        return self.process is not None and self.process.poll() is None

    @property
    def pid(self) -> Optional[int]:
        """The process id, once started."""
        return self.process.pid if self.process is not None else None

    def __enter__(self) -> "Simulator":
        return self.start() if self.process is None else self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # ------------------------------------------------------------------ what it shows
    def log(self) -> str:
        """What the simulator printed (device path, then the traffic, human readable)."""
        try:
            with open(self.log_path, "rb") as file:
                return file.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text: str, timeout: float = 5.0) -> str:
        """Waits until the printed traffic holds ``text`` and returns the log.

        The simulator prints its traffic every 50 ms or so, CR and LF shown as
        ``<CR>`` and ``<LF>``.

        Raises:
            TimeoutError: not there within ``timeout`` seconds.
        """
        deadline = time.monotonic() + timeout
        while True:
            log = self.log()
            if text in log:
                return log
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{text!r} not in quenta-sim's output within {timeout} s:\n{log[-3000:]}")
            time.sleep(0.02)

    def stderr(self) -> str:
        """What the simulator wrote on standard error."""
        try:
            with open(self.stderr_path, "rb") as file:
                return file.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    @property
    def transcript(self) -> Transcript:
        """The machine-readable transcript (``--transcript``)."""
        if self._transcript is None:
            raise SimError(f"{self.program} writes no transcript (it has no --transcript option)")
        return self._transcript

    # ------------------------------------------------------------------ control channel
    def control(self, statement: str, timeout: float = 5.0) -> Optional[Dict[str, Any]]:
        """Sends one statement on the control channel and returns the answer.

        Returns ``None`` for ``ok``, the decoded object for ``ok {json}`` (``state``).

        Raises:
            SimControlError: the simulator answered ``error: ...``.
            SimError: no control channel, or no answer within ``timeout`` seconds.
        """
        if self.control_path is None:
            raise SimError(f"{self.program} has no control channel (it has no --control option)")
        if "\n" in statement or "\r" in statement:
            raise ValueError(f"one statement, one line: {statement!r}")
        answer = self._ask(statement, timeout)
        if answer == "ok":
            return None
        if answer.startswith("ok "):
            return json.loads(answer[3:])
        if answer.startswith("error:"):
            raise SimControlError(statement, answer)
        raise SimError(f"quenta-sim answered {statement!r} with {answer!r}")

    def _ask(self, statement: str, timeout: float) -> str:
        assert self.control_path is not None
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(timeout)
            try:
                sock.connect(self.control_path)
                sock.sendall(statement.encode("utf-8") + b"\n")
                answer = b""
                while not answer.endswith(b"\n"):
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    answer += chunk
            except OSError as error:
                state = "running" if self.running else "not running"
                raise SimError(f"control channel {self.control_path} ({state}): {error}") from error
        if not answer.endswith(b"\n"):
            raise SimError(f"quenta-sim closed the control channel without an answer to {statement!r}")
        return answer.decode("utf-8", "replace").rstrip("\r\n")

    def state(self) -> Dict[str, Any]:
        """The module's state, as the control statement ``state`` reports it."""
        answer = self.control("state")
        if answer is None:
            raise SimError("quenta-sim answered state without the state")
        return answer
