"""QUENTA from Python: libquenta's five jobs, and the simulated module for tests.

- :class:`Quenta`: search, pair, unpair, paired, switch_to_data_mode, open_port
  over the C functions of ``libquenta.so.1`` (ctypes).
- :class:`quenta.sim.Simulator`: runs ``quenta-sim``; the pytest fixtures
  ``quenta_sim`` and ``quenta_sim_factory`` (:mod:`quenta.pytest_plugin`) use it.

Nothing beyond the standard library is needed at run time (pytest only for the
fixtures).
"""

from ._binding import (
    DEFAULT_LIBRARY,
    LIBRARY_ENV,
    CallFailedError,
    LibraryNotFoundError,
    Quenta,
    QuentaError,
    decode_name,
    encode_name,
)

__version__ = "1.0.0"

__all__ = [
    "DEFAULT_LIBRARY",
    "LIBRARY_ENV",
    "CallFailedError",
    "LibraryNotFoundError",
    "Quenta",
    "QuentaError",
    "decode_name",
    "encode_name",
    "__version__",
]
