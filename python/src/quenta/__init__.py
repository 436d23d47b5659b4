"""QUENTA from Python: the radio module on a serial port, and a simulated one for tests.

- :class:`Quenta`: one object per port (``Quenta("/dev/ttyUSB0")``, or
  ``Quenta()`` for the library's "COM8:"): ``search``, ``pair``, ``unpair``,
  ``paired``, ``data_mode`` (the hand-over), ``send_line``, ``close``; used
  as a context manager it releases the port at the end and sends nothing. It
  calls the core through the native module :mod:`quenta._native`.
- Failures raise :class:`OperationError` subclasses by cause (all under
  :class:`QuentaError`), each with the port and the operation.
- :mod:`quenta.capi`: the five C functions of ``libquenta.so.1`` exactly as
  their C contract has them (ctypes), for those who want that contract.
- :class:`quenta.sim.Simulator` runs ``quenta-sim``; the pytest fixtures
  ``quenta_sim`` and ``quenta_sim_factory`` (:mod:`quenta.pytest_plugin`) use it.
"""

from .errors import (
    BadArgumentError,
    DeviceNotFoundError,
    ModuleError,
    ModuleNotAnsweringError,
    ModuleRefusedError,
    ModuleWentAwayError,
    NamesUnreadError,
    NotSerialDeviceError,
    OperationError,
    PermissionDeniedError,
    PortError,
    PortInUseError,
    PortNotFoundError,
    QuentaError,
    ReadBackNotAnsweredError,
    SessionClosedError,
    StayedInCommandModeError,
)
from .session import Device, Quenta, decode_name, encode_name

__version__ = "1.0.0"

__all__ = [
    "BadArgumentError",
    "Device",
    "DeviceNotFoundError",
    "ModuleError",
    "ModuleNotAnsweringError",
    "ModuleRefusedError",
    "ModuleWentAwayError",
    "NamesUnreadError",
    "NotSerialDeviceError",
    "OperationError",
    "PermissionDeniedError",
    "PortError",
    "PortInUseError",
    "PortNotFoundError",
    "Quenta",
    "QuentaError",
    "ReadBackNotAnsweredError",
    "SessionClosedError",
    "StayedInCommandModeError",
    "decode_name",
    "encode_name",
    "__version__",
]
