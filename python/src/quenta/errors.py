"""The exceptions of the package, one class per cause of failure.

Every exception of the package derives from :class:`QuentaError`. A failed
operation of :class:`quenta.Quenta` raises an :class:`OperationError` subclass
named after its cause; it carries the port, the operation and the exit code
that the ``quenta`` tool gives for the same failure (both come from the one
place in the core that maps what it knows to a cause).
"""

from __future__ import annotations

import re
from typing import Dict, Optional, Protocol, Type

__all__ = [
    "QuentaError",
    "OperationError",
    "PortError",
    "PortNotFoundError",
    "NotSerialDeviceError",
    "PermissionDeniedError",
    "PortInUseError",
    "ModuleError",
    "ModuleNotAnsweringError",
    "ModuleRefusedError",
    "ModuleWentAwayError",
    "NamesUnreadError",
    "StayedInCommandModeError",
    "ReadBackNotAnsweredError",
    "BadArgumentError",
    "DeviceNotFoundError",
    "SessionClosedError",
    "error_class",
]


class QuentaError(Exception):
    """Base class of every error of this package."""


class _Result(Protocol):
    # What the native module's Result offers (see quenta/_native.pyi).
    cause: str
    operation: str
    port: str
    argument: bytes
    answer: bytes
    detail: str
    hint: str
    exit_code: int
    message: str


class OperationError(QuentaError):
    """An operation on a port failed; the subclass says why.

    Attributes:
        cause: the cause's stable name, e.g. ``"port_in_use"``.
        operation: ``"open"``, ``"search"``, ``"pair"``, ``"unpair"``,
            ``"paired"``, ``"data-mode"``, ``"at"`` or ``"close"``.
        port: the device path the object is bound to.
        argument: what the operation was given (the name to pair with, the
            line to send), as bytes.
        answer: what the module answered, where it matters (a refusal).
        detail: more about the cause (the step under way, the system's text).
        hint: what to do, when the core knows better than the usual advice
            (a module that does not answer on a line that refused 921600
            bit/s); ``""`` otherwise. The message already includes it.
        exit_code: what the ``quenta`` tool exits with for the same failure.
    """

    #: The cause this class stands for (None: raised for no cause by itself).
    CAUSE: Optional[str] = None

    def __init__(self, result: _Result) -> None:
        self.cause: str = result.cause
        self.operation: str = result.operation
        self.port: str = result.port
        self.argument: bytes = result.argument
        self.answer: bytes = result.answer
        self.detail: str = result.detail
        self.hint: str = result.hint
        self.exit_code: int = result.exit_code
        # The tool's message without the program's name in front; a withheld
        # hand-over names the tool's option, here the argument that does the same.
        message = result.message
        if result.operation == "data-mode":
            message = message.replace("--force", "data_mode(force=True)")
        super().__init__(message[len("quenta: "):] if message.startswith("quenta: ") else message)


class PortError(OperationError):
    """The port could not be opened or set up."""

    CAUSE = "port_error"


class PortNotFoundError(PortError):
    """No device node at the port's path."""

    CAUSE = "port_not_found"


class NotSerialDeviceError(PortError):
    """The path exists but is no serial device."""

    CAUSE = "not_serial_device"


class PermissionDeniedError(PortError):
    """The device may not be opened by this user; the message says what to do.

    Attributes:
        owner: the device's owner (``None`` when the core could not tell).
        group: its group.
        mode: its permission bits, e.g. ``0o660``.
    """

    CAUSE = "permission_denied"

    def __init__(self, result: _Result) -> None:
        super().__init__(result)
        found = re.search(r"it is (\S+):(\S+) ([0-7]{3,4})\b", result.detail)
        self.owner: Optional[str] = found.group(1) if found else None
        self.group: Optional[str] = found.group(2) if found else None
        self.mode: Optional[int] = int(found.group(3), 8) if found else None


class PortInUseError(PortError):
    """Another object of this process, or another program, holds the port."""

    CAUSE = "port_in_use"


class ModuleError(OperationError):
    """The module on the port did not do what was asked."""


class ModuleNotAnsweringError(ModuleError):
    """The module could not be brought into command mode at any line setting."""

    CAUSE = "module_not_answering"


class ModuleRefusedError(ModuleError):
    """The module answered ERROR; :attr:`answer` holds what it sent."""

    CAUSE = "module_refused"


class ModuleWentAwayError(ModuleError):
    """The device vanished during the operation; :attr:`detail` names the step."""

    CAUSE = "module_went_away"


class NamesUnreadError(ModuleError):
    """The search found devices but could read none of their names."""

    CAUSE = "names_unread"


class StayedInCommandModeError(ModuleError):
    """The hand-over's reset was refused or not answered in time."""

    CAUSE = "stayed_in_command_mode"


class ReadBackNotAnsweredError(ModuleError):
    """No valid answer to the read-back of the paired device."""

    CAUSE = "read_back_not_answered"


class BadArgumentError(OperationError, ValueError):
    """A name or line that cannot be sent to the module, or a hand-over withheld.

    :meth:`~quenta.Quenta.data_mode` withholds the hand-over on a line that
    refused 921600 bit/s in this process (the module would restart at that
    rate and could not be reached on the line any more); the message says so
    and what to do instead, and ``data_mode(force=True)`` hands over all the same.
    """

    CAUSE = "bad_argument"


class DeviceNotFoundError(OperationError, LookupError):
    """:meth:`~quenta.Quenta.pair` with a name that no search found."""

    CAUSE = "device_not_found"


class SessionClosedError(OperationError):
    """The object was closed."""

    CAUSE = "closed"


_BY_CAUSE: Dict[str, Type[OperationError]] = {
    cls.CAUSE: cls
    for cls in (
        PortError, PortNotFoundError, NotSerialDeviceError, PermissionDeniedError, PortInUseError,
        ModuleNotAnsweringError, ModuleRefusedError, ModuleWentAwayError, NamesUnreadError,
        StayedInCommandModeError, ReadBackNotAnsweredError, BadArgumentError, DeviceNotFoundError,
        SessionClosedError,
    )
    if cls.CAUSE is not None
}


def error_class(cause: str) -> Type[OperationError]:
    """The exception class raised for a cause's stable name (OperationError for an unknown one)."""
    return _BY_CAUSE.get(cause, OperationError)
