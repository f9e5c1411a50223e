"""Python access to the ferrylink host proxy (libferrylink.so.1) via ctypes.

A :class:`Link` is opened from the same text that the console and the tools
take, ``tcp:ADDRESS[:PORT]`` or ``serial:DEVICE[:BAUD]``::

    import ferrylink

    with ferrylink.Link("tcp:127.0.0.1:52000") as link:
        link.on_message(lambda kind, subtype, payload: print(kind, subtype, payload.hex()))
        link.write(0x100, 0x12345678)
        print(link.read(0x100, 4).hex())

Data messages. The module registers a C callback of its own as soon as the
port is open: over TCP a data message that finds no callback ends the
library's receive thread for good. That callback only copies the payload and
queues it; a thread of the module hands the messages to the Python handler
(:meth:`Link.on_message`, or ``on_message=`` of the constructor), so a
handler may take its time and may call the link's methods. Messages that
arrive while no handler is set are dropped (counted in :attr:`Link.dropped`);
pass the handler to the constructor to miss none. (The library registers
callbacks only on an open port, so over TCP a data message the target sends
in the instant between the acknowledgement of the open and the registration
still ends the receive thread.) When the link fails, the
handler gets the link-failure notification, type 12 subtype 2
(:data:`LINK_FAILURE`).

The library keeps one link per process, so at most one :class:`Link` is open
at a time. Its calls are serialised by the Link, as the library requires.

Errors of the library are raised as :class:`FerrylinkError`, whose ``code``
is the library's result code; malformed link texts and arguments out of range
are :class:`ValueError`.

The library is found, in this order: the ``library`` argument, the
``FERRYLINK_LIBRARY`` environment variable, the library installed beside this
module (same install prefix), then ``libferrylink.so.1`` through the dynamic
linker.
"""

import atexit
import ctypes
import operator
import os
import queue
import re
import sys
import threading
import traceback

__all__ = [
    "BAUD_RATES",
    "DEFAULT_BAUD",
    "DEFAULT_PORT",
    "LINK_FAILURE",
    "MAX_REQUEST",
    "MAX_SEND",
    "FerrylinkError",
    "Link",
    "Endpoint",
    "load_library",
    "parse_link",
]

SONAME = "libferrylink.so.1"
DEFAULT_PORT = 2800
DEFAULT_BAUD = 115200
#: Payload bytes one request carries, and so bytes one remote read returns.
MAX_REQUEST = 2043
#: Data bytes of one :meth:`Link.send`: a request less the type and subtype.
MAX_SEND = MAX_REQUEST - 4
#: (type, subtype) of the notification the handler gets when the link fails.
LINK_FAILURE = (12, 2)
#: Baud rates the library can set on a serial line.
BAUD_RATES = frozenset((300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800,
                        500000, 921600, 1000000, 2000000, 3000000, 4000000))

_TRANSPORT_TCP = 1
_TRANSPORT_SERIAL = 2
_TEXT_SIZE = 128
_TEXT_MAX = 63
_MAX_BASE_PORT = 65525  # the notification port, base + 10, must fit too
_DATA_MESSAGE = 4
_WORD = 0xFFFFFFFF
_SPACE = 1 << 32  # bytes of the target's address space


class FerrylinkError(RuntimeError):
    """A library call failed; ``code`` is its result code (-1, -4, -5, -6)."""

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        return f"{self.message} (result code {self.code})"


class _OpenRecord(ctypes.Structure):
    """FerryOpenRecord: 133 bytes, packed."""

    _pack_ = 1
    _fields_ = [("transport", ctypes.c_uint8), ("text", ctypes.c_char * _TEXT_SIZE), ("number", ctypes.c_uint32)]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32)

# What each function's codes mean; -1 of a call made on an open port means
# the library closed it after a link failure.
_MEANINGS = {
    "read": {-1: "the port is not open (closed, or the link failed)",
             -4: "no whole remote read reply in time, or another packet in its place; the link failed",
             -5: "the request could not be sent; the link failed"},
    "write": {-1: "the port is not open (closed, or the link failed)",
              -5: "the request could not be sent; the link failed"},
    "send": {-1: "the port is not open, or the message could not be sent whole"},
    "register": {-1: "the port is not open"},
}


class Endpoint:
    """A parsed link text: ``transport`` ("tcp" or "serial"), ``text`` (the
    address or device) and ``number`` (the TCP base port or the baud rate)."""

    __slots__ = ("transport", "text", "number")

    def __init__(self, transport, text, number):
        self.transport = transport
        self.text = text
        self.number = number

    def __eq__(self, other):
        return isinstance(other, Endpoint) and (self.transport, self.text, self.number) == (
            other.transport, other.text, other.number)

    def __repr__(self):
        return f"Endpoint({self.transport!r}, {self.text!r}, {self.number!r})"

    def __str__(self):
        return f"{self.transport}:{self.text}:{self.number}"


# Octets without leading zeros: "010" would be octal to some parsers.
_IPV4 = re.compile(r"^(0|[1-9]\d{0,2})\.(0|[1-9]\d{0,2})\.(0|[1-9]\d{0,2})\.(0|[1-9]\d{0,2})$")


def _number(text, what, low, high):
    if not text.isdigit() or not text.isascii() or len(text) > 10 or not low <= int(text) <= high:
        raise ValueError(f"the {what} must be a number from {low} to {high}, not {text!r}")
    return int(text)


def parse_link(text):
    """Parses ``tcp:ADDRESS[:PORT]`` or ``serial:DEVICE[:BAUD]`` into a
    :class:`Endpoint`; raises ValueError saying what is wrong.

    The address is dotted-decimal IPv4 (names are not looked up), the port
    the base port, 1 to 65525 (data messages come on the base port + 10),
    2800 when left out. A device name may hold colons: only a trailing
    ``:DIGITS`` is the baud rate, 115200 when left out."""
    if not isinstance(text, str):
        raise TypeError(f"a link text is a str, not {type(text).__name__}")
    kind, colon, rest = text.partition(":")
    if kind not in ("tcp", "serial") or not colon:
        raise ValueError(f"link {text!r}: expected tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD]")
    try:
        if kind == "tcp":
            address, colon, port = rest.partition(":")
            match = _IPV4.match(address)
            if not address:
                raise ValueError("the address is missing")
            if not match or any(int(octet) > 255 for octet in match.groups()):
                raise ValueError(f"the address must be dotted-decimal IPv4 (names are not looked up), not {address!r}")
            number = _number(port, "TCP port", 1, _MAX_BASE_PORT) if colon else DEFAULT_PORT
            return Endpoint("tcp", address, number)
        device, number = rest, DEFAULT_BAUD
        head, colon, tail = rest.rpartition(":")
        if colon and (not tail or tail.isdigit()):
            device = head
            number = _number(tail, "baud rate", 1, _WORD)
            if number not in BAUD_RATES:
                raise ValueError(f"the baud rate {number} is not one the library can set "
                                 f"({', '.join(str(b) for b in sorted(BAUD_RATES))})")
        if not device:
            raise ValueError("the serial device is missing")
        if "\0" in device:
            raise ValueError("the serial device name holds a null character")
        if len(device.encode()) > _TEXT_MAX:
            raise ValueError(f"the serial device name is longer than {_TEXT_MAX} bytes")
        return Endpoint("serial", device, number)
    except ValueError as error:
        raise ValueError(f"link {text!r}: {error}") from None


_libraries = {}
_libraries_lock = threading.Lock()


def _installed_library():
    """The library of the install prefix this module was installed into, or
    None when running from the source tree or when it is not there."""
    try:
        from . import _installed  # pylint: disable=import-outside-toplevel
    except ImportError:
        return None
    path = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), _installed.LIBRARY))
    return path if os.path.exists(path) else None


def load_library(library=None):
    """Loads the library (see the module's documentation for where it is
    looked for) and declares its seven functions; returns the ctypes.CDLL.
    A library is loaded once per path and never unloaded."""
    path = library or os.environ.get("FERRYLINK_LIBRARY") or _installed_library() or SONAME
    path = os.fspath(path)
    with _libraries_lock:
        lib = _libraries.get(path)
        if lib is not None:
            return lib
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            raise OSError(f"cannot load the ferrylink library {path!r}: {error}") from None
        i32, u32, void_p = ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p
        for name, restype, argtypes in (
                ("OpenCommunicatonPort", i32, [ctypes.POINTER(_OpenRecord)]),
                ("CloseCommunicationPort", None, []),
                ("SendDataMessage", i32, [void_p, i32, i32]),
                ("ReadDataMessage", i32, [void_p, i32]),
                ("RegisterCallbackForProxy", i32, [_CALLBACK]),
                ("rdmremote", i32, [u32, void_p, u32]),
                ("wrmremote", i32, [u32, ctypes.POINTER(u32)])):
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        _libraries[path] = lib
        return lib


def _index(value, what, low, high):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{what} must be from {low} to {high:#x}, not {number:#x}")
    return number


# The Link whose port is open: the library keeps one link per process.
_open_link = None
_open_lock = threading.Lock()


class Link:
    """An open link to the target through ferrylink.

    ``Link(text, library=None, on_message=None)`` opens the port (raises
    :class:`FerrylinkError` with code -1 when it cannot); ``close()``, or
    leaving a ``with`` block, closes it. After close, and after the library
    closed the port on a link failure, calls raise :class:`FerrylinkError`.
    """

    def __init__(self, text, library=None, on_message=None):
        self.endpoint = parse_link(text)
        if on_message is not None and not callable(on_message):
            raise TypeError("on_message must be callable")
        self._lib = load_library(library)
        self._lock = threading.RLock()
        self._handler = on_message
        self._queue = queue.SimpleQueue()
        self._open = False
        self._dropped = 0
        self._dropped_lock = threading.Lock()
        self._callback = _CALLBACK(self._on_c_message)
        self._dispatcher = None
        self._abandoned = False  # close() waited long enough: drop the rest

        global _open_link  # pylint: disable=global-statement
        with _open_lock:
            if _open_link is not None:
                raise RuntimeError(f"{_open_link.endpoint} is open: the library keeps one link per process")
            record = _OpenRecord()
            record.transport = _TRANSPORT_TCP if self.endpoint.transport == "tcp" else _TRANSPORT_SERIAL
            record.text = self.endpoint.text.encode()
            record.number = self.endpoint.number
            if self._lib.OpenCommunicatonPort(ctypes.byref(record)) != 1:
                # A failed open leaves the port closed; make sure of it.
                self._lib.CloseCommunicationPort()
                raise FerrylinkError(-1, f"cannot open {text!r}: refused, no connection, or no acknowledgement "
                                         "of the device open")
            # Registered at once: over TCP a data message with no callback
            # to take it would end the library's receive thread.
            if self._lib.RegisterCallbackForProxy(self._callback) != 0:
                self._lib.CloseCommunicationPort()
                raise FerrylinkError(-1, f"{text!r} closed right after it opened")
            self._open = True
            _open_link = self
        self._dispatcher = threading.Thread(target=self._dispatch, name=f"ferrylink {self.endpoint}", daemon=True)
        self._dispatcher.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<ferrylink.Link {self.endpoint} {'open' if self._open else 'closed'}>"

    @property
    def closed(self):
        """True once close() ran (a link the library closed after a failure
        still counts as open here until then)."""
        return not self._open

    @property
    def dropped(self):
        """Data messages dropped because no handler was set."""
        return self._dropped

    def _count_drop(self):
        with self._dropped_lock:
            self._dropped += 1

    def on_message(self, handler):
        """Sets the callable that gets each data message as
        ``handler(type, subtype, payload)``; None stops delivery (later
        messages are dropped). ``payload`` is a bytes copy of the data after
        the 4-byte type and subtype; a message shorter than those 4 bytes
        comes with type and subtype None and all its bytes as payload. The
        handler runs on a thread of the module, one message at a time, in the
        order they arrived; an exception it raises is printed to stderr and
        delivery goes on. Returns the handler, so it may be a decorator."""
        if handler is not None and not callable(handler):
            raise TypeError("the handler must be callable")
        self._handler = handler
        return handler

    def _on_c_message(self, _reserved, payload, length):
        # The library's thread (or the caller's, for the link-failure
        # notification): copy and queue only, never call the library here.
        try:
            if self._handler is None:
                self._count_drop()
                return 0
            data = ctypes.string_at(payload, length) if length > 0 else b""
            self._queue.put(data)
        except BaseException:  # pylint: disable=broad-except
            # Nothing may propagate into the library's thread.
            traceback.print_exc()
        return 0

    def _dispatch(self):
        while True:
            data = self._queue.get()
            if data is None or self._abandoned:
                return
            handler = self._handler
            if handler is None:
                self._count_drop()
                continue
            kind = subtype = None
            payload = data
            if len(data) >= 4:
                kind, subtype = int.from_bytes(data[0:2], "little"), int.from_bytes(data[2:4], "little")
                payload = data[4:]
            try:
                handler(kind, subtype, payload)
            except Exception:  # pylint: disable=broad-except
                print(f"ferrylink: the message handler of {self.endpoint} raised:", file=sys.stderr)
                traceback.print_exc()

    def _check_open(self):
        if not self._open:
            raise FerrylinkError(-1, f"{self.endpoint} is closed")

    def _fail(self, function, code, what):
        meaning = _MEANINGS.get(function, {}).get(code, "failed")
        raise FerrylinkError(code, f"{what}: {meaning}")

    def read(self, address, count):
        """Reads ``count`` bytes of the target's memory at ``address`` and
        returns them as bytes. Counts above :data:`MAX_REQUEST` are read with
        several requests, one after the other; the range must stay within
        the 32-bit address space."""
        address = _index(address, "address", 0, _WORD)
        count = _index(count, "count", 1, _SPACE)
        if address + count > _SPACE:
            raise ValueError(f"{count} bytes at {address:#x} pass the end of the 32-bit address space")
        result = bytearray(count)
        with self._lock:
            self._check_open()
            for offset in range(0, count, MAX_REQUEST):
                chunk = min(MAX_REQUEST, count - offset)
                destination = (ctypes.c_char * chunk).from_buffer(result, offset)
                code = self._lib.rdmremote(address + offset, destination, chunk)
                if code != 0:
                    self._fail("read", code, f"read of {chunk} bytes at {address + offset:#x}")
        return bytes(result)

    def write(self, address, value):
        """Writes the 32-bit word ``value`` at ``address`` of the target's
        memory (little-endian on the wire). No reply is awaited."""
        address = _index(address, "address", 0, _WORD)
        word = ctypes.c_uint32(_index(value, "value", 0, _WORD))
        with self._lock:
            self._check_open()
            code = self._lib.wrmremote(address, ctypes.byref(word))
            if code != 0:
                self._fail("write", code, f"write at {address:#x}")

    def send(self, kind, data=b"", subtype=0):
        """Sends one data message to the target: command type 4 whose payload
        is the 16-bit message type ``kind``, the 16-bit ``subtype`` (both
        little-endian) and ``data``, at most :data:`MAX_SEND` bytes."""
        kind = _index(kind, "message type", 0, 0xFFFF)
        subtype = _index(subtype, "subtype", 0, 0xFFFF)
        if isinstance(data, int):
            raise TypeError("data must be bytes-like, not an int")
        data = bytes(data)
        if len(data) > MAX_SEND:
            raise ValueError(f"a data message carries at most {MAX_SEND} bytes, not {len(data)}")
        payload = kind.to_bytes(2, "little") + subtype.to_bytes(2, "little") + data
        with self._lock:
            self._check_open()
            code = self._lib.SendDataMessage(payload, len(payload), _DATA_MESSAGE)
            if code != 0:
                self._fail("send", code, f"data message {kind}/{subtype}")

    def close(self, timeout=5.0):
        """Closes the port and ends delivery, after waiting up to ``timeout``
        seconds for the handler to take the messages already queued (the
        rest are dropped; a handler call under way is not interrupted). Safe
        to call more than once."""
        global _open_link  # pylint: disable=global-statement
        with self._lock:
            if not self._open:
                return
            self._open = False
            # Also forgets the callback and waits for the library's threads,
            # so the C callback object is unused from here on.
            self._lib.CloseCommunicationPort()
            with _open_lock:
                if _open_link is self:
                    _open_link = None
        self._queue.put(None)
        if self._dispatcher is not None and self._dispatcher is not threading.current_thread():
            self._dispatcher.join(timeout)
            self._abandoned = True


@atexit.register
def _close_at_exit():
    # Before the interpreter goes: the library's threads must not call into
    # a finalising interpreter.
    link = _open_link
    if link is not None:
        link.close(timeout=0.5)
