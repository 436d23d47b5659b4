"""One object per port: :class:`Quenta` and the :class:`Device` it finds.

Device names are ``str``: the module's bytes decoded as UTF-8 with the
``surrogateescape`` error handler, so a name the module cut inside a UTF-8
character, or one that is not UTF-8 at all, still comes back, and
:meth:`Quenta.pair` encodes it back to the very same bytes
(:attr:`Device.raw_name` holds them).
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Tuple, Union

from . import _native
from .errors import error_class

__all__ = ["Device", "Quenta", "NameLike", "decode_name", "encode_name"]

NameLike = Union[str, bytes]
PortLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def decode_name(raw: bytes) -> str:
    """The ``str`` form of a device name as the module gave it."""
    return raw.decode("utf-8", "surrogateescape")


def encode_name(name: NameLike) -> bytes:
    """The module's bytes of a name from :meth:`Quenta.search` (or given as bytes)."""
    if isinstance(name, (bytes, bytearray)):
        return bytes(name)
    return name.encode("utf-8", "surrogateescape")


@dataclass(frozen=True)
class Device:
    """A device that a search found (or the paired one).

    Attributes:
        name: its name (see the module's documentation on exact bytes).
        address: its address as the module writes it, e.g. ``"02a0c7000001r"``.
        device_class: the device class from the inquiry's answer; 0 for
            the paired device, as the read-back does not carry it.
    """

    name: str
    address: str
    device_class: int

    @property
    def raw_name(self) -> bytes:
        """The name's exact bytes."""
        return encode_name(self.name)

    def __str__(self) -> str:
        return self.name

    @classmethod
    def _from_native(cls, native: Tuple[bytes, str, int]) -> "Device":
        raw, address, device_class = native
        return cls(decode_name(raw), address, device_class)


def _checked(result: _native.Result) -> _native.Result:
    if not result.ok:
        raise error_class(result.cause)(result)
    return result


class Quenta:
    """The radio module on one serial port.

    Args:
        port: the device path, e.g. ``"/dev/ttyUSB0"``. ``None``: the device
            that the library's "COM8:" stands for now (``QUENTA_PORT_COM8``,
            else ``/dev/ttyS7``), resolved once here; :attr:`port` tells which.

    Making the object checks the port (opens it and closes it again) and
    sends nothing. The first operation opens it, and it stays open until
    :meth:`close` (or the end of a ``with`` block), which releases it and
    sends nothing, or until :meth:`data_mode`, after which the next operation
    opens it again. From here until :meth:`close` a second object on the same
    port in this process is refused with :class:`~quenta.PortInUseError`; so
    is this one, when another program holds the port as it is made or as an
    operation opens it. Objects on different ports are independent and may
    work at the same time from different threads. One object serialises its
    own calls. Each operation brings the module into command mode first when
    it is not.

    Raises:
        PortError: the port cannot be had (a subclass says why).
    """

    def __init__(self, port: Optional[PortLike] = None) -> None:
        # Bytes reach the core as they are, whatever the file system's encoding.
        path = b"" if port is None else os.fsencode(port)
        if port is not None and not path:
            raise ValueError("an empty port path; pass None for the library's COM8:")
        self._lock = threading.Lock()
        self._closed = False
        #: After :meth:`search`: how many devices it found whose names could not be read.
        self.unread_names = 0
        self._session = _native.Session(path)
        # A refused port: the session, released with this object, holds nothing.
        _checked(self._session.opened())

    @property
    def port(self) -> str:
        """The device path this object is bound to."""
        return self._session.port

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran."""
        return self._closed

    def _call(self, name: str, *args: object) -> Any:
        # A closed session answers every call with the cause "closed".
        with self._lock:
            return getattr(self._session, name)(*args)

    def search(self, on_found: Optional[Callable[[Device], None]] = None) -> List[Device]:
        """Searches nearby devices; an empty list when the module answered and none is in range.

        Takes as long as the module's inquiry (15 s and more on a real module);
        Ctrl-C takes effect when it is over, as the inquiry cannot be cut short.

        Args:
            on_found: called with each device as soon as its name is read, on
                the thread that searches; an exception it raises is raised
                here once the search is over.

        Raises:
            NamesUnreadError: devices were found but none of their names read.
            OperationError: another cause (a subclass says which).
        """
        found = None if on_found is None else (lambda native: on_found(Device._from_native(native)))
        result, devices, unread = self._call("search", found)
        _checked(result)
        self.unread_names = unread
        return [Device._from_native(native) for native in devices]

    def pair(self, device: Union[Device, NameLike]) -> None:
        """Makes ``device`` (a :class:`Device` or its name) the module's peer.

        Searches first when this object has not searched yet.

        Raises:
            DeviceNotFoundError: the name is not among the devices found.
            BadArgumentError: a name that cannot be sent (empty, NUL, too long);
                use :meth:`unpair` to remove the pairing.
            OperationError: another cause.
        """
        raw = device.raw_name if isinstance(device, Device) else encode_name(device)
        _checked(self._call("pair", raw))

    def unpair(self) -> None:
        """Removes the pairing; the peer entry stays, so :meth:`paired` may still name it.

        Raises:
            OperationError: a subclass says why.
        """
        _checked(self._call("unpair"))

    def paired(self) -> Optional[Device]:
        """The paired device, ``None`` when the module answered that it holds no peer.

        Raises:
            ReadBackNotAnsweredError: the module gave no valid answer.
            OperationError: another cause.
        """
        result, device = self._call("paired")
        _checked(result)
        return None if device is None else Device._from_native(device)

    def data_mode(self, *, force: bool = False) -> None:
        """Hands the module over to data mode and closes the port; the next call takes it back.

        The module restarts at 921600 bit/s with RTS/CTS. On a line that
        refused that rate in this process, nothing could reach the module
        after the restart, so the hand-over is withheld: nothing is sent and
        :class:`~quenta.BadArgumentError` says why and what to do instead.

        Args:
            force: hand over all the same on such a line (the module then
                waits at a rate this line cannot run); on any other line it
                changes nothing.

        Raises:
            BadArgumentError: the hand-over was withheld (``force`` not set).
            StayedInCommandModeError: the module's reset was refused or late.
            OperationError: another cause.
        """
        _checked(self._call("data_mode_anyway" if force else "data_mode"))

    def send_line(self, line: Union[str, bytes]) -> bytes:
        """Sends one command line (without CR) in command mode; returns every byte that came back.

        Raises:
            ModuleRefusedError: the module answered without OK.
            BadArgumentError: a line that cannot be sent.
            OperationError: another cause.
        """
        raw = line.encode("ascii") if isinstance(line, str) else bytes(line)
        return bytes(_checked(self._call("send_line", raw)).answer)

    def close(self) -> None:
        """Releases the port and sends nothing: the module stays in the mode it is in.

        The hand-over to data mode is :meth:`data_mode`. Idempotent; later
        operations raise :class:`~quenta.SessionClosedError`. The end of a
        ``with`` block, and an object collected unclosed, close it the same way.
        """
        with self._lock:
            if not self._closed:
                self._closed = True
                self._session.close()

    def __enter__(self) -> "Quenta":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<quenta.Quenta port={self.port!r}{' closed' if self.closed else ''}>"

