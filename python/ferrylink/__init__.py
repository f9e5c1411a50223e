"""Python access to the ferrylink host proxy (libferrylink.so.1) via ctypes.

A :class:`Link` is opened from the same text that the console and the tools
take, ``tcp:ADDRESS[:PORT]`` or ``serial:DEVICE[:BAUD]``::

    import ferrylink

    with ferrylink.Link("tcp:127.0.0.1:52000", timeout=2) as link:
        link.on_message(lambda kind, subtype, payload: print(kind, subtype, payload.hex()))
        link.on_failure(lambda: print("the link failed"))
        link.write(0x100, 0x12345678)
        print(link.read(0x100, 4).hex())

Time limits. ``timeout=`` gives the seconds the library waits for the target
in each of its waits (a TCP connection, a send that makes no progress, a
reply, the serial device-open acknowledgement); without it the library's own
limits apply (10 s; 5 s for the acknowledgement). Every call returns within
them.

Data messages. The module registers a C callback of its own as soon as the
port is open (the library keeps what comes before that, so nothing is lost
in between). That callback only copies the payload and queues it; a thread
of the module hands the messages to the Python handler
(:meth:`Link.on_message`, or ``on_message=`` of the constructor), in the
order they arrived, so a handler may take its time and may call the link's
methods. Messages that arrive while no handler is set are kept and handed to
the handler once one is set, before any newer one. At most 1 MiB of payload
(and 65,536 messages) waits for the handler, whether none is set yet or it
is busy; a message beyond that is dropped and counted in
:attr:`Link.dropped`, with those the library itself dropped.

Link failure. When the link fails (the target went away, a reply did not
come in time, a send failed, a call was interrupted) the port is closed:
:attr:`Link.closed` and :attr:`Link.failed` become true as the library
reports it, later calls raise :class:`LinkFailedError`, and the handler given
to :meth:`Link.on_failure` (or ``on_failure=``) is called once, with no
arguments, on the module's thread, after the data messages that came before
the failure. The failure never reaches the message handler. The library
tells the failure at once even while no call is under way, so a program that
only waits for messages learns of it too. A failed Link need not be closed
before the next one is opened (closing it is still harmless).

Errors. The library's failures are raised as :class:`FerrylinkError`, an
:class:`OSError` whose ``code`` is the library's result code and whose
``text`` is the library's sentence for it; the subclasses say what happened:

* :class:`ReplyTimeoutError` (also a :class:`TimeoutError`): no whole reply
  in time (-4); the link has failed.
* :class:`LinkFailedError` (also a :class:`ConnectionError`): the port could
  not be opened (-1), the request could not be sent (-5), the link failed
  before the call (-1), or a Ctrl-C in the main thread ended this thread's
  call (-8).
* :class:`ShortReplyError`: a remote read reply carried fewer bytes than
  asked for (-7); the link stays up.

Calls on a Link closed by :meth:`Link.close` raise :class:`FerrylinkError`
with code -1. Malformed link texts and arguments out of range are
:class:`ValueError`.

Ctrl-C. A call made from the main thread runs in a thread of the module
while the main thread waits, so Ctrl-C (KeyboardInterrupt) reaches the main
thread at once, also while the library waits for the target. The module then
ends the library's wait (FerryInterrupt, which fails the link), closes the
Link and lets KeyboardInterrupt go on.

Lifetime. The library keeps one link per process, so at most one Link is
open at a time; its calls are serialised by the Link, as the library
requires. A Link closes itself when nothing refers to it any more (one that
only reference cycles keep, at the next garbage collection, which opening
another Link runs), and at the latest when the interpreter exits;
``close()``, or leaving a ``with`` block, closes it at once.

The library is found, in this order: the ``library`` argument, the
``FERRYLINK_LIBRARY`` environment variable, the library installed beside this
module (same install prefix), then ``libferrylink.so.1`` through the dynamic
linker. It must be version 1.1 or later.
"""

import collections
import contextlib
import ctypes
import enum
import gc
import operator
import os
import queue
import sys
import threading
import time
import traceback
import weakref
from collections.abc import Callable, Iterator
from typing import Any

__version__ = "1.1.0"

__all__ = [
    "BAUD_RATES",
    "DEFAULT_BAUD",
    "DEFAULT_PORT",
    "LINK_FAILURE",
    "MAX_REQUEST",
    "MAX_SEND",
    "Endpoint",
    "FerrylinkError",
    "Link",
    "LinkFailedError",
    "LinkState",
    "ReplyTimeoutError",
    "ShortReplyError",
    "library_version",
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
#: (type, subtype) of the library's link-failure notification; the module
#: turns it into the :meth:`Link.on_failure` call.
LINK_FAILURE = (12, 2)
#: Baud rates the library can set on a serial line.
BAUD_RATES = frozenset((300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800,
                        500000, 921600, 1000000, 2000000, 3000000, 4000000))

_TRANSPORT_TCP = 1
_TRANSPORT_SERIAL = 2
_TEXT_SIZE = 128
_TEXT_MAX = 63
_MAX_BASE_PORT = 65525  # the notification port, base + 10, must fit too
_NOTIFY_OFFSET = 10
_DATA_MESSAGE = 4
_WORD = 0xFFFFFFFF
_SPACE = 1 << 32  # bytes of the target's address space

# What waits for the message handler: the library's own bounds for what it
# keeps while no callback is registered.
_BACKLOG_BYTES = 1048576
_BACKLOG_MESSAGES = 65536

# The library's limits are whole milliseconds from 1 to 600,000.
_MIN_TIMEOUT = 0.001
_MAX_TIMEOUT = 600.0

# How long the main thread waits for a call in one go: also the longest it
# takes to notice a Ctrl-C that the kernel gave to another thread.
_POLL = 0.05

MessageHandler = Callable[[int | None, int | None, bytes], Any]
FailureHandler = Callable[[], Any]


class LinkState(enum.IntEnum):
    """What :attr:`Link.state` tells (the library's FerryLinkState)."""

    CLOSED = 0  #: closed by the host, or never opened
    OPEN = 1
    FAILED = 2  #: the link failed; the next Link makes a new one


class FerrylinkError(OSError):
    """A library call failed: ``code`` is its result code, ``text`` the
    library's sentence for that code, ``message`` what failed and why."""

    def __init__(self, code: int, message: str, text: str = "") -> None:
        super().__init__(message)
        self.code = code
        self.message = message
        self.text = text

    def __str__(self) -> str:
        return f"{self.message} (result code {self.code})"


class ReplyTimeoutError(FerrylinkError, TimeoutError):
    """No whole reply came within the reply limit (-4); the link has failed."""


class LinkFailedError(FerrylinkError, ConnectionError):
    """The port could not be opened, a request could not be sent (-5), the
    link had failed before the call (-1), or the call was interrupted from
    another thread (-8)."""


class ShortReplyError(FerrylinkError):
    """A remote read reply carried fewer bytes than were asked for (-7); the
    link stays up."""


_ERRORS: dict[int, type[FerrylinkError]] = {
    -1: LinkFailedError,
    -4: ReplyTimeoutError,
    -5: LinkFailedError,
    -7: ShortReplyError,
    -8: LinkFailedError,  # in another thread than the one Ctrl-C interrupted
}


class _OpenRecord(ctypes.Structure):
    """FerryOpenRecord: 133 bytes, packed."""

    _pack_ = 1
    _fields_ = [("transport", ctypes.c_uint8), ("text", ctypes.c_char * _TEXT_SIZE), ("number", ctypes.c_uint32)]


class _Limits(ctypes.Structure):
    """FerryLimits, in milliseconds."""

    _fields_ = [("reply_ms", ctypes.c_uint32), ("send_ms", ctypes.c_uint32), ("connect_ms", ctypes.c_uint32),
                ("ack_ms", ctypes.c_uint32)]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32)


class Endpoint:
    """A parsed link text: ``transport`` ("tcp" or "serial"), ``text`` (the
    address or device) and ``number`` (the TCP base port or the baud rate)."""

    __slots__ = ("transport", "text", "number")

    def __init__(self, transport: str, text: str, number: int) -> None:
        self.transport = transport
        self.text = text
        self.number = number

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Endpoint) and (self.transport, self.text, self.number) == (
            other.transport, other.text, other.number)

    def __repr__(self) -> str:
        return f"Endpoint({self.transport!r}, {self.text!r}, {self.number!r})"

    def __str__(self) -> str:
        return f"{self.transport}:{self.text}:{self.number}"


def _digits(text):
    """The value of one to ten decimal digits (ASCII only: no sign, no
    blanks, no hex), or None."""
    if not 0 < len(text) <= 10 or text.strip("0123456789"):
        return None
    return int(text)


def _dotted_decimal(address):
    """Four numbers from 0 to 255 joined by dots and nothing else: no names,
    no shortened forms ("127.1"), no leading zeros (octal to some readers)."""
    octets = address.split(".")
    return len(octets) == 4 and all(
        len(octet) <= 3 and _digits(octet) is not None and int(octet) <= 255 and (len(octet) == 1 or octet[0] != "0")
        for octet in octets)


def _parse_tcp(rest):
    address, colon, port = rest.partition(":")
    if not address:
        raise ValueError("the address is missing")
    if not _dotted_decimal(address):
        raise ValueError("the address must be an IPv4 address in dotted-decimal form, like 127.0.0.1 "
                         "(names are not looked up)")
    number = _digits(port) if colon else DEFAULT_PORT
    if number is None or not 1 <= number <= _MAX_BASE_PORT:
        raise ValueError(f"the TCP port must be a number from 1 to {_MAX_BASE_PORT} "
                         f"(data messages come on the port + {_NOTIFY_OFFSET})")
    return Endpoint("tcp", address, number)


def _parse_serial(rest):
    device, number = rest, DEFAULT_BAUD
    # Only a trailing ":DIGITS" (or a bare trailing colon) is the rate: a
    # device name may hold colons of its own.
    head, colon, tail = rest.rpartition(":")
    if colon and not tail.strip("0123456789"):
        device, number = head, _digits(tail)
        if number not in BAUD_RATES:
            raise ValueError("the baud rate must be one of " + ", ".join(str(rate) for rate in sorted(BAUD_RATES)))
    if not device:
        raise ValueError("the serial device is missing")
    if "\0" in device:
        raise ValueError("the serial device name holds a null character")
    if len(device.encode()) > _TEXT_MAX:
        raise ValueError(f"the serial device name is longer than {_TEXT_MAX} bytes")
    return Endpoint("serial", device, number)


def parse_link(text: str) -> Endpoint:
    """Parses ``tcp:ADDRESS[:PORT]`` or ``serial:DEVICE[:BAUD]`` into a
    :class:`Endpoint`; raises ValueError saying what is wrong. The rules are
    the console's and the tools' (linkrules/link_text.h in the tree).

    The address is dotted-decimal IPv4 (names are not looked up), the port
    the base port, 1 to 65525 (data messages come on the base port + 10),
    2800 when left out. A device name has 1 to 63 bytes and may hold colons:
    only a trailing ``:DIGITS`` is the baud rate, one of :data:`BAUD_RATES`,
    115200 when left out. Numbers are decimal digits. A transport alone
    ("tcp", "serial") names no link here."""
    if not isinstance(text, str):
        raise TypeError(f"a link text is a str, not {type(text).__name__}")
    try:
        if text == "tcp":
            raise ValueError("tcp alone names no address: give tcp:ADDRESS[:PORT]")
        if text == "serial":
            raise ValueError("serial alone names no device: give serial:DEVICE[:BAUD]")
        if text.startswith("tcp:"):
            return _parse_tcp(text[len("tcp:"):])
        if text.startswith("serial:"):
            return _parse_serial(text[len("serial:"):])
        raise ValueError("expected tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD]")
    except ValueError as error:
        raise ValueError(f"link {text!r}: {error}") from None


_libraries: dict[str, tuple[ctypes.CDLL, _Limits]] = {}
_libraries_lock = threading.Lock()

# The library's functions: name, result type, argument types.
_FUNCTIONS = (
    ("OpenCommunicatonPort", ctypes.c_int32, [ctypes.POINTER(_OpenRecord)]),
    ("CloseCommunicationPort", None, []),
    ("SendDataMessage", ctypes.c_int32, [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32]),
    ("ReadDataMessage", ctypes.c_int32, [ctypes.c_void_p, ctypes.c_int32]),
    ("RegisterCallbackForProxy", ctypes.c_int32, [_CALLBACK]),
    ("rdmremote", ctypes.c_int32, [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32]),
    ("wrmremote", ctypes.c_int32, [ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]),
    ("FerryVersion", ctypes.c_char_p, []),
    ("FerryResultText", ctypes.c_char_p, [ctypes.c_int32]),
    ("FerryGetLimits", None, [ctypes.POINTER(_Limits)]),
    ("FerrySetLimits", ctypes.c_int32, [ctypes.POINTER(_Limits)]),
    ("FerryLinkState", ctypes.c_int32, []),
    ("FerryDroppedMessages", ctypes.c_uint64, []),
    ("FerryInterrupt", None, []),
)


def _installed_library() -> str | None:
    """The library of the install prefix this module was installed into, or
    None when running from the source tree or when it is not there."""
    try:
        from . import _installed  # pylint: disable=import-outside-toplevel
    except ImportError:
        return None
    path = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), _installed.LIBRARY))
    return path if os.path.exists(path) else None


def _load(library: str | os.PathLike[str] | None) -> tuple[ctypes.CDLL, _Limits]:
    """The library and the limits it had when it was loaded."""
    path = os.fspath(library or os.environ.get("FERRYLINK_LIBRARY") or _installed_library() or SONAME)
    with _libraries_lock:
        loaded = _libraries.get(path)
        if loaded is not None:
            return loaded
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            raise OSError(f"cannot load the ferrylink library {path!r}: {error}") from None
        for name, restype, argtypes in _FUNCTIONS:
            try:
                function = getattr(lib, name)
            except AttributeError:
                raise OSError(f"the ferrylink library {path!r} has no {name}: this module needs version 1.1 "
                              "or later") from None
            function.restype = restype
            function.argtypes = argtypes
        initial = _Limits()
        lib.FerryGetLimits(ctypes.byref(initial))
        _libraries[path] = (lib, initial)
        return lib, initial


def load_library(library: str | os.PathLike[str] | None = None) -> ctypes.CDLL:
    """Loads the library (see the module's documentation for where it is
    looked for) and declares its functions; returns the ctypes.CDLL. A
    library is loaded once per path and never unloaded. Raises OSError when
    it cannot be loaded or is older than 1.1."""
    return _load(library)[0]


def library_version(library: str | os.PathLike[str] | None = None) -> str:
    """The version of the library, ``"MAJOR.MINOR.PATCH"`` as it says itself,
    loaded as :func:`load_library` does."""
    return load_library(library).FerryVersion().decode()


def _result_text(lib: ctypes.CDLL, code: int) -> str:
    return lib.FerryResultText(code).decode("utf-8", "replace")


def _index(value: Any, what: str, low: int, high: int) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{what} must be from {low} to {high:#x}, not {number:#x}")
    return number


def _limits_for(timeout: float | None) -> _Limits | None:
    """The library's limits for ``timeout=``; None for the library's own."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not _MIN_TIMEOUT <= timeout <= _MAX_TIMEOUT:
        raise ValueError(f"timeout must be from {_MIN_TIMEOUT} to {_MAX_TIMEOUT:g} seconds, not {timeout!r}")
    milliseconds = max(1, round(timeout * 1000))
    return _Limits(milliseconds, milliseconds, milliseconds, milliseconds)


# Events from the callback to a Link's dispatching thread; any other event
# is a data message (bytes).
_STOP = object()  # the port was released: hand over what came before, then end
_WAKE = object()  # a handler was set: hand over what waits for it
_FAILURE = object()  # the library reported that the link failed

_FAILURE_NOTICE = LINK_FAILURE[0].to_bytes(2, "little") + LINK_FAILURE[1].to_bytes(2, "little")


class _Job:
    """One library call that the worker makes for the main thread."""

    __slots__ = ("function", "args", "result", "error", "finished", "done")

    def __init__(self, function: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.function = function
        self.args = args
        self.result: Any = None
        self.error: BaseException | None = None
        self.finished = False  # set by the worker before it releases done
        self.done = threading.Lock()  # released by the worker when the call returned
        self.done.acquire()


def _work(jobs: "queue.SimpleQueue[_Job | None]") -> None:
    """The worker: makes the main thread's calls, one at a time, until None."""
    while True:
        job = jobs.get()
        if job is None:
            return
        try:
            job.result = job.function(*job.args)
        except BaseException as error:  # pylint: disable=broad-except
            job.error = error  # raised again in the main thread
        job.finished = True
        job.done.release()
        del job


class _Port:
    """The state of one opened port: what the library's callback, the
    module's threads and the Link's finalizer need. It never refers to the
    Link, so that they cannot keep a Link alive."""

    def __init__(self, lib: ctypes.CDLL, endpoint: Endpoint) -> None:
        self.lib = lib
        self.endpoint = endpoint
        # One call at a time, and a read's requests together.
        self.lock = threading.RLock()
        self.events: "queue.SimpleQueue[object]" = queue.SimpleQueue()
        self.failed = False  # the library reported the link failure
        self.host_closed = False  # Link.close() ran
        self.released = False  # the library no longer holds this port
        self.abandoned = False  # close() waited long enough: hand nothing over any more
        self.stuck = False  # an interrupted call did not return
        self.own_dropped = 0
        self.library_dropped = 0  # FerryDroppedMessages when the port was released
        self._backlog_lock = threading.Lock()
        self._backlog_bytes = 0
        self._backlog_messages = 0
        self._jobs: "queue.SimpleQueue[_Job | None] | None" = None

    # The library's threads (and the calling thread, for the failure notice).

    def receive(self, data: bytes) -> None:
        """Queues what the callback got; never calls into Python code of the
        host. The notice of a failure is told from a message of the same
        bytes by the state the library is in."""
        if data == _FAILURE_NOTICE and self.lib.FerryLinkState() != LinkState.OPEN:
            self.failed = True
            self.events.put(_FAILURE)
            return
        with self._backlog_lock:
            if self._backlog_messages >= _BACKLOG_MESSAGES or len(data) > _BACKLOG_BYTES - self._backlog_bytes:
                self.own_dropped += 1
                return
            self._backlog_messages += 1
            self._backlog_bytes += len(data)
        self.events.put(data)

    def taken(self, data: bytes, delivered: bool = True) -> None:
        """A message left the backlog: handed over, or dropped."""
        with self._backlog_lock:
            self._backlog_messages -= 1
            self._backlog_bytes -= len(data)
            if not delivered:
                self.own_dropped += 1

    # Calls.

    def call(self, function: Callable[..., Any], *args: Any) -> Any:
        """Makes one library call. From the main thread it runs on the
        worker while the main thread waits, so that a KeyboardInterrupt can
        be raised there meanwhile; the call is then ended with FerryInterrupt
        before the interrupt goes on."""
        if threading.current_thread() is not threading.main_thread():
            return function(*args)
        if self._jobs is None:
            self._jobs = queue.SimpleQueue()
            threading.Thread(target=_work, args=(self._jobs,), name=f"ferrylink calls {self.endpoint}",
                             daemon=True).start()
        job = _Job(function, args)
        self._jobs.put(job)
        try:
            while not job.done.acquire(timeout=_POLL):
                pass
        except KeyboardInterrupt:
            self.stuck = not self._end_call(job)
            raise
        if job.error is not None:
            raise job.error
        return job.result

    def _end_call(self, job: _Job) -> bool:
        """Ends the worker's call; False if it did not return within a
        second. FerryInterrupt is repeated: it does not reach a call that
        had not yet started to wait when it came."""
        deadline = time.monotonic() + 1.0
        while not job.finished:
            if time.monotonic() > deadline:
                return False
            self.lib.FerryInterrupt()
            job.done.acquire(timeout=0.01)
        return True

    def stop_worker(self) -> None:
        if self._jobs is not None:
            self._jobs.put(None)

    # The end.

    def release(self, by_host: bool = True) -> None:
        """Closes the port if the library still holds it and ends the
        module's threads of it. Safe to call more than once, from any
        thread; the Link's finalizer calls it too."""
        global _active  # pylint: disable=global-statement
        if by_host:
            self.host_closed = True
        if self.released:
            return
        with _active_lock, self.lock:
            if self.released:
                return
            if _active is self:
                # Also forgets the callback and waits for the library's threads.
                self.lib.CloseCommunicationPort()
                # Counted until the next open, with those kept until now.
                self.library_dropped = self.lib.FerryDroppedMessages()
                _active = None
            self.released = True
            self.events.put(_STOP)
            self.stop_worker()

    def dropped(self) -> int:
        library = self.library_dropped if self.released else self.lib.FerryDroppedMessages()
        return library + self.own_dropped


# The port the library holds, and so the one its callback feeds. The Link
# itself is never held here: a Link nobody refers to is collected and its
# finalizer releases the port.
_active: _Port | None = None
# Reentrant: a finalizer may run on a thread that holds it.
_active_lock = threading.RLock()


# Set on a thread while it is in the callback.
_in_callback = threading.local()


def _on_c_message(_reserved: int, payload: Any, length: int) -> int:
    # The library's thread, or the calling thread for the failure notice:
    # copy and queue only. Nothing may propagate into the library.
    _in_callback.now = True
    try:
        port = _active
        if port is not None:
            port.receive(ctypes.string_at(payload, length) if length > 0 else b"")
    except BaseException:  # pylint: disable=broad-except
        traceback.print_exc()
    finally:
        _in_callback.now = False
    return 0


def _finalize(port: _Port) -> None:
    """Releases the port of a Link nobody refers to any more. The collector
    may run this in the callback, on a library thread that closing the port
    waits for: then another thread releases it."""
    if getattr(_in_callback, "now", False):
        threading.Thread(target=port.release, name="ferrylink release", daemon=True).start()
    else:
        port.release()


# One trampoline for the life of the process, never freed: the library holds
# one link at a time, and a trampoline that is never freed cannot vanish
# under a library thread that is still in it.
_CALLBACK_FUNCTION = _CALLBACK(_on_c_message)


def _run_handler(port: _Port, which: str, handler: Callable[..., Any], *args: Any) -> None:
    try:
        handler(*args)
    except Exception:  # pylint: disable=broad-except
        print(f"ferrylink: the {which} of {port.endpoint} raised:", file=sys.stderr)
        traceback.print_exc()


def _hand_over(port: _Port, link_ref: "weakref.ref[Link]", waiting: "collections.deque[bytes]",
               failure_due: bool) -> bool:
    """Hands the waiting messages to the message handler, then the failure
    to the failure handler; returns whether the failure is still untold.
    The Link is looked up afresh each time and let go of before returning."""
    while waiting and not port.abandoned:
        link = link_ref()
        handler = None if link is None else link._message_handler  # pylint: disable=protected-access
        if handler is None:
            break
        data = waiting.popleft()
        port.taken(data)
        if len(data) >= 4:
            kind, subtype = int.from_bytes(data[0:2], "little"), int.from_bytes(data[2:4], "little")
            _run_handler(port, "message handler", handler, kind, subtype, data[4:])
        else:
            _run_handler(port, "message handler", handler, None, None, data)
    if failure_due and not port.abandoned:
        link = link_ref()
        handler = None if link is None else link._failure_handler  # pylint: disable=protected-access
        if handler is not None:
            _run_handler(port, "failure handler", handler)
            return False
    return failure_due


def _dispatch(port: _Port, link_ref: "weakref.ref[Link]") -> None:
    """The dispatching thread of a Link: from the callback's queue to the
    handlers, keeping what no handler takes yet."""
    waiting: collections.deque[bytes] = collections.deque()
    failure_due = False
    while True:
        event = port.events.get()
        if event is _STOP:
            break
        if event is _FAILURE:
            failure_due = True
        elif event is not _WAKE:
            waiting.append(event)
        failure_due = _hand_over(port, link_ref, waiting, failure_due)
    for data in waiting:
        port.taken(data, delivered=False)


class Link:
    """An open link to the target through ferrylink.

    ``Link(text, library=None, on_message=None, *, on_failure=None,
    timeout=None)`` opens the port: raises :class:`LinkFailedError` when it
    cannot, RuntimeError while another Link is open. ``close()``, or leaving
    a ``with`` block, closes it; so does losing the last reference to it.
    """

    def __init__(self, text: str, library: str | os.PathLike[str] | None = None,
                 on_message: MessageHandler | None = None, *, on_failure: FailureHandler | None = None,
                 timeout: float | None = None) -> None:
        self.endpoint = parse_link(text)
        for name, handler in (("on_message", on_message), ("on_failure", on_failure)):
            if handler is not None and not callable(handler):
                raise TypeError(f"{name} must be callable")
        limits = _limits_for(timeout)
        lib, initial_limits = _load(library)
        self._message_handler = on_message
        self._failure_handler = on_failure
        self._dispatcher: threading.Thread | None = None
        port = self._port = _Port(lib, self.endpoint)

        global _active  # pylint: disable=global-statement
        with _active_lock:
            current = _active
            if current is not None and not current.failed:
                gc.collect()  # a Link that only cycles refer to closes itself now
                current = _active
            if current is not None:
                if not current.failed:
                    raise RuntimeError(f"{current.endpoint} is open: the library keeps one link per process")
                # A failed link is not used again: the open below replaces it.
                current.release(by_host=False)
            # The limits are the library's, for every wait after this.
            lib.FerrySetLimits(ctypes.byref(limits or initial_limits))
            record = _OpenRecord()
            record.transport = _TRANSPORT_TCP if self.endpoint.transport == "tcp" else _TRANSPORT_SERIAL
            record.text = self.endpoint.text.encode()
            record.number = self.endpoint.number
            try:
                code = port.call(lib.OpenCommunicatonPort, ctypes.byref(record))
            except KeyboardInterrupt:
                if not port.stuck:
                    lib.CloseCommunicationPort()
                port.stop_worker()
                raise
            if code != 1:
                # A failed open leaves the port closed; make sure of it.
                lib.CloseCommunicationPort()
                port.stop_worker()
                raise self._error(code, f"cannot open {text!r}")
            _active = port
            # The library kept what came since the open; it comes now.
            if lib.RegisterCallbackForProxy(_CALLBACK_FUNCTION) != 0:
                _active = None
                lib.CloseCommunicationPort()
                port.stop_worker()
                raise LinkFailedError(-1, f"{text!r} failed right after it opened", _result_text(lib, -1))
        self._finalizer = weakref.finalize(self, _finalize, port)
        self._dispatcher = threading.Thread(target=_dispatch, args=(port, weakref.ref(self)),
                                            name=f"ferrylink {self.endpoint}", daemon=True)
        self._dispatcher.start()

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<ferrylink.Link {self.endpoint} {self.state.name.lower()}>"

    @property
    def closed(self) -> bool:
        """True once close() ran or the library reported that the link
        failed (:attr:`failed` tells which)."""
        port = self._port
        return port.host_closed or port.failed or port.released

    @property
    def failed(self) -> bool:
        """True once the library reported that the link failed; it stays
        true after close()."""
        return self._port.failed

    @property
    def state(self) -> LinkState:
        """:class:`LinkState`: OPEN, FAILED (the library reported the
        failure), or CLOSED (after close())."""
        port = self._port
        if port.host_closed or (port.released and not port.failed):
            return LinkState.CLOSED
        if port.failed:
            return LinkState.FAILED
        return LinkState(port.lib.FerryLinkState())

    @property
    def dropped(self) -> int:
        """Data messages dropped since the open: by the library (see
        FerryDroppedMessages), and by the module beyond what may wait for
        the handler."""
        return self._port.dropped()

    def on_message(self, handler: MessageHandler | None) -> MessageHandler | None:
        """Sets the callable that gets each data message as
        ``handler(type, subtype, payload)``. ``payload`` is a bytes copy of
        the data after the 4-byte type and subtype; a message shorter than
        those 4 bytes comes with type and subtype None and all its bytes as
        payload. Messages that came while no handler was set come first. The
        handler runs on a thread of the module, one message at a time, in
        the order they arrived; an exception it raises is printed to stderr
        and delivery goes on. None stops delivery: later messages wait (see
        the module's documentation for how many). Returns the handler, so it
        may be a decorator."""
        if handler is not None and not callable(handler):
            raise TypeError("the handler must be callable")
        self._message_handler = handler
        self._port.events.put(_WAKE)
        return handler

    def on_failure(self, handler: FailureHandler | None) -> FailureHandler | None:
        """Sets the callable that is called, with no arguments, once the
        library reports that the link failed: on a thread of the module,
        after the data messages that came before the failure; at once if the
        failure came before it was set (and the Link is not closed yet).
        Returns the handler, so it may be a decorator."""
        if handler is not None and not callable(handler):
            raise TypeError("the handler must be callable")
        self._failure_handler = handler
        self._port.events.put(_WAKE)
        return handler

    def _error(self, code: int, what: str) -> FerrylinkError:
        text = _result_text(self._port.lib, code)
        return _ERRORS.get(code, FerrylinkError)(code, f"{what}: {text}", text)

    def _check_open(self, what: str) -> None:
        port = self._port
        if port.host_closed or (port.released and not port.failed):
            raise FerrylinkError(-1, f"{what}: {self.endpoint} is closed", _result_text(port.lib, -1))
        if port.failed:
            raise LinkFailedError(-1, f"{what}: the link to {self.endpoint} has failed", _result_text(port.lib, -1))

    @contextlib.contextmanager
    def _using(self, what: str) -> Iterator[_Port]:
        """Holds the open port for one operation. On KeyboardInterrupt (the
        main thread's Ctrl-C, during a call or while waiting for another
        thread's) the library's wait is ended, the Link closed, and the
        interrupt goes on."""
        port = self._port
        try:
            with port.lock:
                self._check_open(what)
                yield port
        except KeyboardInterrupt:
            if threading.current_thread() is threading.main_thread() and not port.stuck:
                port.lib.FerryInterrupt()  # also a call of another thread that we waited for
                self.close(timeout=0.2)
            raise

    def _request(self, port: _Port, what: str, function: Callable[..., int], *args: Any) -> None:
        """One library call; raises for a result other than 0."""
        code = port.call(function, *args)
        if code != 0:
            raise self._error(code, what)

    def read(self, address: int, count: int) -> bytes:
        """Reads ``count`` bytes of the target's memory at ``address`` and
        returns them as bytes (``b""`` for a count of 0). Counts above
        :data:`MAX_REQUEST` are read with several requests, one after the
        other; the range must stay within the 32-bit address space."""
        address = _index(address, "address", 0, _WORD)
        count = _index(count, "count", 0, _SPACE)
        if address + count > _SPACE:
            raise ValueError(f"{count} bytes at {address:#x} pass the end of the 32-bit address space")
        result = bytearray(count)
        with self._using(f"read of {count} bytes at {address:#x}") as port:
            for offset in range(0, count, MAX_REQUEST):
                chunk = min(MAX_REQUEST, count - offset)
                destination = (ctypes.c_char * chunk).from_buffer(result, offset)
                self._request(port, f"read of {chunk} bytes at {address + offset:#x}", port.lib.rdmremote,
                              address + offset, destination, chunk)
        return bytes(result)

    def write(self, address: int, value: int) -> None:
        """Writes the 32-bit word ``value`` at ``address`` of the target's
        memory (little-endian on the wire). No reply is awaited."""
        address = _index(address, "address", 0, _WORD)
        word = ctypes.c_uint32(_index(value, "value", 0, _WORD))
        what = f"write at {address:#x}"
        with self._using(what) as port:
            self._request(port, what, port.lib.wrmremote, address, ctypes.byref(word))

    def send(self, kind: int, data: bytes | bytearray | memoryview = b"", subtype: int = 0) -> None:
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
        what = f"data message {kind}/{subtype}"
        with self._using(what) as port:
            self._request(port, what, port.lib.SendDataMessage, payload, len(payload), _DATA_MESSAGE)

    def close(self, timeout: float = 5.0) -> None:
        """Closes the port and ends delivery, after waiting up to ``timeout``
        seconds for the handlers to take what was already queued (the rest
        is dropped; a handler call under way is not interrupted). Safe to
        call more than once, and from a handler."""
        self._port.release()
        self._finalizer.detach()
        dispatcher = self._dispatcher
        if dispatcher is not None and dispatcher is not threading.current_thread():
            dispatcher.join(timeout)
            self._port.abandoned = True
