"""The five C functions of ``libquenta.so.1`` exactly as ``quenta.h`` gives them (ctypes).

For people who want the C contract itself: one port ("COM8:", mapped by
``QUENTA_PORT_COM8``), process-wide state, and a bare success or failure for
each call. :class:`quenta.Quenta` is the documented interface: a port per
object and an exception by cause.

The library reads ``QUENTA_PORT_COM8`` when it opens the port, and keeps the
port open between calls: a changed variable takes effect at the next open
(after :meth:`Quenta.switch_to_data_mode`, or once the port was lost).

Device names are ``str``: the library's bytes decoded as UTF-8 with the
``surrogateescape`` error handler, so a name the module cut inside a UTF-8
character, or one that is not UTF-8 at all, still comes back, and
:meth:`Quenta.pair` encodes it back to the very same bytes. ``bytes`` are
accepted wherever a name goes in.
"""

from __future__ import annotations

import ctypes
import io
import os
import threading
from typing import List, Union

from .errors import QuentaError

__all__ = [
    "LibraryNotFoundError",
    "CallFailedError",
    "Quenta",
    "LIBRARY_ENV",
    "DEFAULT_LIBRARY",
    "encode_name",
    "decode_name",
]

#: Environment variable naming the library file when no path is passed.
LIBRARY_ENV = "QUENTA_LIBRARY"
#: The name the dynamic loader looks up when neither a path nor the variable is given.
DEFAULT_LIBRARY = "libquenta.so.1"

# Device names are at most 16 characters, so these buffers are never too small;
# one call with them saves the second full run that a size query costs.
_SEARCH_BUFFER = 64 * 1024
_PAIRED_BUFFER = 4096

NameLike = Union[str, bytes]


class LibraryNotFoundError(QuentaError):
    """libquenta could not be loaded (or lacks one of its functions)."""


class CallFailedError(QuentaError):
    """A library call reported failure.

    Attributes:
        function: the C function that failed, e.g. ``"QUENTA_searchDevices"``.
        port: the device that "COM8:" stands for at the time of the failure
            (which the library may not have opened yet: see the module's notes).
    """

    def __init__(self, function: str, reason: str, port: str) -> None:
        self.function = function
        self.reason = reason
        self.port = port
        super().__init__(f"{function} failed on {port} (COM8:): {reason}")


def decode_name(raw: bytes) -> str:
    """The ``str`` form of a device name as the library gave it."""
    return raw.decode("utf-8", "surrogateescape")


def encode_name(name: NameLike) -> bytes:
    """The library's bytes of a name from :meth:`Quenta.search` (or given as bytes)."""
    raw = bytes(name) if isinstance(name, (bytes, bytearray)) else name.encode("utf-8", "surrogateescape")
    if b"\0" in raw:
        raise ValueError(f"a device name cannot hold a NUL byte: {name!r}")
    return raw


def _com8_path() -> str:
    # What the library's platform layer maps "COM8:" to; only for messages.
    return os.environ.get("QUENTA_PORT_COM8") or "/dev/ttyS7"


# The library wants one caller at a time (process-wide state behind the C
# functions), whatever number of Quenta objects exist.
_call_lock = threading.Lock()


class Quenta:
    """The five jobs of libquenta.

    Every method runs the whole operation against the module (bringing it into
    command mode first), as the C functions do. The state behind them (the open
    port, the devices of the last search) is the library's and process-wide:
    all ``Quenta`` objects of a process share it.

    Args:
        library: path of ``libquenta.so.1``. Default: the environment variable
            ``QUENTA_LIBRARY`` when set and not empty, else ``libquenta.so.1``
            through the dynamic loader (``ldconfig``, ``LD_LIBRARY_PATH``).

    Raises:
        LibraryNotFoundError: the library cannot be loaded or lacks a function.
    """

    def __init__(self, library: Union[str, "os.PathLike[str]", None] = None) -> None:
        path = os.fspath(library) if library is not None else (os.environ.get(LIBRARY_ENV) or DEFAULT_LIBRARY)
        self.library_path: str = path
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            hint = (
                f"pass its path or set {LIBRARY_ENV}" if library is None and not os.environ.get(LIBRARY_ENV) else
                "check the path"
            )
            raise LibraryNotFoundError(f"cannot load {path}: {error} ({hint})") from error
        u32p = ctypes.POINTER(ctypes.c_uint32)
        signatures = {
            "QUENTA_searchDevices": (ctypes.c_bool, [ctypes.c_char_p, u32p]),
            "QUENTA_pairDevice": (ctypes.c_bool, [ctypes.c_char_p]),
            "QUENTA_getPairedDevice": (ctypes.c_bool, [ctypes.c_char_p, u32p]),
            "QUENTA_switchToDataMode": (ctypes.c_bool, []),
            "QUENTA_createPortHandle": (ctypes.c_void_p, []),
        }
        for name, (restype, argtypes) in signatures.items():
            try:
                function = getattr(lib, name)
            except AttributeError as error:
                raise LibraryNotFoundError(f"{path} does not export {name}") from error
            function.restype = restype
            function.argtypes = argtypes
        self._lib = lib

    def _fail(self, function: str, reason: str) -> CallFailedError:
        return CallFailedError(function, reason, _com8_path())

    def search(self) -> List[str]:
        """Searches nearby devices and returns their names, in the module's order.

        Only devices the module can pair with are listed. Takes as long as the
        module's inquiry (15 s and more on a real module).

        Raises:
            CallFailedError: no device found, or the module did not answer.
        """
        buffer = ctypes.create_string_buffer(_SEARCH_BUFFER)
        size = ctypes.c_uint32(_SEARCH_BUFFER)
        with _call_lock:
            ok = self._lib.QUENTA_searchDevices(buffer, ctypes.byref(size))
        if not ok:
            raise self._fail("QUENTA_searchDevices", "no device found, or the module did not answer")
        # "a\tb\t\t" and a NUL; a name itself never holds a NUL.
        text = buffer.raw.split(b"\0", 1)[0]
        if not text:
            return []
        if not text.endswith(b"\t\t"):
            raise self._fail("QUENTA_searchDevices", f"malformed device list {text[:80]!r}")
        return [decode_name(raw) for raw in text[:-2].split(b"\t")]

    def pair(self, name: NameLike) -> None:
        """Makes the device ``name`` (as :meth:`search` returned it) the module's peer.

        The library searches first when this process has not searched yet.

        Raises:
            ValueError: an empty name (use :meth:`unpair`) or one holding a NUL.
            CallFailedError: the name is not among the devices found, or the
                module did not answer or refused.
        """
        raw = encode_name(name)
        if not raw:
            raise ValueError("an empty device name; use unpair() to remove the pairing")
        with _call_lock:
            ok = self._lib.QUENTA_pairDevice(raw)
        if not ok:
            raise self._fail(
                "QUENTA_pairDevice",
                f"{name!r} is not among the devices found, or the module did not answer or refused",
            )

    def unpair(self) -> None:
        """Removes the pairing: the module connects to no remote peer.

        The peer entry stays, so :meth:`paired` may still name it afterwards.

        Raises:
            CallFailedError: the module did not answer or refused.
        """
        with _call_lock:
            ok = self._lib.QUENTA_pairDevice(b"")
        if not ok:
            raise self._fail("QUENTA_pairDevice", "removing the pairing: the module did not answer or refused")

    def paired(self) -> str:
        """The name of the paired device; ``""`` when the module could not tell.

        Raises:
            CallFailedError: the module could not be brought into command mode.
        """
        buffer = ctypes.create_string_buffer(_PAIRED_BUFFER)
        size = ctypes.c_uint32(_PAIRED_BUFFER)
        with _call_lock:
            ok = self._lib.QUENTA_getPairedDevice(buffer, ctypes.byref(size))
        if not ok:
            raise self._fail("QUENTA_getPairedDevice", "the module did not answer")
        return decode_name(buffer.value)

    def switch_to_data_mode(self) -> None:
        """Hands the line over to data transfer and closes the port.

        The next call reopens the port and brings the module back to command mode.

        Raises:
            CallFailedError: the port could not be closed.
        """
        with _call_lock:
            ok = self._lib.QUENTA_switchToDataMode()
        if not ok:
            raise self._fail("QUENTA_switchToDataMode", "the port could not be closed")

    def create_port_handle(self) -> int:
        """The raw form of :meth:`open_port`: an open file descriptor the caller closes.

        The descriptor is non-blocking and close-on-exec, as the library opens it.

        Raises:
            CallFailedError: the port cannot be opened or configured (for instance
                while this process's own library calls still hold it: call
                :meth:`switch_to_data_mode` first).
        """
        with _call_lock:
            handle = self._lib.QUENTA_createPortHandle()
        # All bits set (the invalid handle) comes back as 2**64 - 1 or None.
        if handle is None or handle == ctypes.c_void_p(-1).value:
            raise self._fail("QUENTA_createPortHandle", "the port cannot be opened or configured")
        return int(handle)

    def open_port(self, *, blocking: bool = True) -> io.FileIO:
        """Opens the port for the application's own traffic: 921600 bit/s, 8N1, RTS/CTS, DTR on.

        The module is handed over to data mode first. The caller owns the file
        and closes it (``with q.open_port() as port: ...``).

        Args:
            blocking: ``True`` (default) makes reads wait for data; ``False``
                keeps the library's non-blocking descriptor (``read`` then
                returns ``None`` when nothing is there).

        Raises:
            CallFailedError: as :meth:`create_port_handle`.
        """
        fd = self.create_port_handle()
        try:
            os.set_blocking(fd, blocking)
            return io.FileIO(fd, "r+", closefd=True)
        except BaseException:
            os.close(fd)
            raise
