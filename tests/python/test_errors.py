"""Malformed link texts, arguments out of range, and the library's result
codes surfacing as OSErrors of their own: refused opens, a closed port, a
target that stops answering, answers short or goes away."""
import ctypes
import time

import pytest

import ferrylink
from conftest import LIBRARY, SHORT_ADDRESS, wait_for
from docksim_process import unused_port


def library_text(code):
    """The library's own sentence for a result code, asked without the module."""
    result_text = ctypes.CDLL(LIBRARY).FerryResultText
    result_text.restype = ctypes.c_char_p
    return result_text(code).decode()


def test_a_malformed_link_text_is_refused_before_the_library_is_loaded(tmp_path):
    # Every text's reading is in test_link_texts.py; here only that Link uses it.
    with pytest.raises(ValueError, match="dotted-decimal"):
        ferrylink.Link("tcp:127.1", library=str(tmp_path / "libnothing.so.1"))


@pytest.mark.parametrize("timeout", [0, 0.0005, 600.5, -1, float("nan")])
def test_a_timeout_the_library_cannot_take_is_refused_before_it_is_loaded(tmp_path, timeout):
    with pytest.raises(ValueError, match="timeout must be from"):
        ferrylink.Link("tcp:127.0.0.1:5000", library=str(tmp_path / "libnothing.so.1"), timeout=timeout)


def test_arguments_out_of_range(peer):
    with ferrylink.Link(peer.text) as link:
        for call, complaint in [
                (lambda: link.read(0, -1), "count"),
                (lambda: link.read(0, 2**32 + 1), "count"),
                (lambda: link.read(-1, 4), "address"),
                (lambda: link.read(2**32, 4), "address"),
                (lambda: link.read(0xFFFFFFFE, 4), "32-bit address space"),
                (lambda: link.write(2**32, 0), "address"),
                (lambda: link.write(0, 2**32), "value"),
                (lambda: link.write(0, -1), "value"),
                (lambda: link.send(0x10000), "message type"),
                (lambda: link.send(1, b"", subtype=-1), "subtype"),
                (lambda: link.send(1, bytes(2040)), "at most 2039")]:
            with pytest.raises(ValueError, match=complaint):
                call()
        with pytest.raises(TypeError):
            link.read(1.5, 4)
        # None of them reached the target, and the link is still fine.
        assert link.read(0x10, 2) == b"\x10\x11"
    assert [kind for kind, _ in peer.packets][:2] == [6, 1]


# Each returns the call that fails, and the Link to close after it (or None).
def refused_open(_docksim, _peer):
    port = unused_port()  # nobody listens there
    return lambda: ferrylink.Link(f"tcp:127.0.0.1:{port}"), None


def unacknowledged_open(docksim, _peer):
    text, _ = docksim("tcp", "--mode", "no-ack")
    return lambda: ferrylink.Link(text, timeout=0.2), None


def unanswered_read(docksim, _peer):
    text, _ = docksim("tcp", "--mode", "silent")
    link = ferrylink.Link(text, timeout=0.2)
    return lambda: link.read(0, 4), link


def short_reply(_docksim, peer):
    link = ferrylink.Link(peer.text)
    return lambda: link.read(SHORT_ADDRESS, 8), link


@pytest.mark.parametrize("provoke, error, builtin, code", [
    (refused_open, ferrylink.LinkFailedError, ConnectionError, -1),
    (unacknowledged_open, ferrylink.LinkFailedError, ConnectionError, -1),
    (unanswered_read, ferrylink.ReplyTimeoutError, TimeoutError, -4),
    (short_reply, ferrylink.ShortReplyError, OSError, -7),
])
def test_each_failure_is_an_oserror_of_its_own(docksim, peer, provoke, error, builtin, code):
    call, link = provoke(docksim, peer)
    start = time.monotonic()
    try:
        with pytest.raises(error) as caught:
            call()
    finally:
        if link is not None:
            link.close()
    assert time.monotonic() - start < 2  # the timeout given, not the library's 10 s
    assert isinstance(caught.value, builtin) and isinstance(caught.value, ferrylink.FerrylinkError)
    assert caught.value.code == code
    assert caught.value.text == library_text(code) and library_text(code) in str(caught.value)
    assert f"(result code {code})" in str(caught.value)


def test_a_short_reply_leaves_the_link_up(peer):
    with ferrylink.Link(peer.text) as link:
        with pytest.raises(ferrylink.ShortReplyError):
            link.read(SHORT_ADDRESS, 8)
        assert not link.closed and link.state == ferrylink.LinkState.OPEN
        assert link.read(0x10, 2) == b"\x10\x11"


def test_a_refused_open_leaves_no_link_behind():
    port = unused_port()  # nobody listens there
    for _ in range(2):
        with pytest.raises(ferrylink.LinkFailedError, match="cannot open"):
            ferrylink.Link(f"tcp:127.0.0.1:{port}")


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_a_wrong_acknowledgement_refuses_the_open(docksim, kind):
    text, _ = docksim(kind, "--mode", "wrong-ack")
    with pytest.raises(ferrylink.LinkFailedError) as caught:
        ferrylink.Link(text, timeout=0.5)  # serial: waits on for the right one
    assert caught.value.code == -1


def test_a_silent_target_fails_the_link(docksim):
    text, _ = docksim("tcp", "--mode", "silent")
    messages, failures = [], []
    with ferrylink.Link(text, on_message=lambda *message: messages.append(message),
                        on_failure=lambda: failures.append(time.monotonic()), timeout=0.3) as link:
        link.write(0, 1)  # no reply awaited: goes out fine
        start = time.monotonic()
        with pytest.raises(ferrylink.ReplyTimeoutError):
            link.read(0, 4)
        assert 0.25 < time.monotonic() - start < 2
        # Told by the time the call returned; handed over on the module's thread.
        assert link.closed and link.failed and link.state == ferrylink.LinkState.FAILED
        assert wait_for(lambda: failures, 5)
        # The library closed the port: later calls say so at once.
        for call in (lambda: link.read(0, 4), lambda: link.write(0, 1), lambda: link.send(1)):
            with pytest.raises(ferrylink.LinkFailedError) as caught:
                call()
            assert caught.value.code == -1 and "has failed" in str(caught.value)
    assert len(failures) == 1 and messages == []
    assert link.state == ferrylink.LinkState.CLOSED and link.failed


def test_a_target_that_goes_away(docksim):
    text, sim = docksim("tcp")
    messages, failures = [], []
    link = ferrylink.Link(text, on_message=lambda *message: messages.append(message),
                          on_failure=lambda: failures.append(True))
    assert len(link.read(0, 4)) == 4
    sim.command("drop")
    # The library tells the loss with no call under way.
    assert wait_for(lambda: failures, 5)
    assert link.closed and link.failed and link.state == ferrylink.LinkState.FAILED
    with pytest.raises(ferrylink.LinkFailedError) as caught:
        link.read(0, 4)
    assert caught.value.code == -1
    # A failed Link need not be closed first: the next open makes a fresh
    # link, and closing the old Link afterwards leaves the new one alone.
    with ferrylink.Link(text) as again:
        link.close()
        assert len(again.read(0, 4)) == 4
    assert failures == [True] and messages == []


def test_a_library_that_cannot_be_loaded(tmp_path):
    with pytest.raises(OSError, match="cannot load the ferrylink library"):
        ferrylink.Link("tcp:127.0.0.1:5000", library=str(tmp_path / "libnothing.so.1"))
