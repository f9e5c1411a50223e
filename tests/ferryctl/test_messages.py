"""Data messages: monitor while docksim sends, and how a monitor ends."""
import json
import select
import signal
import subprocess
import time

from conftest import FERRYCTL, BOUND, ferryctl

BURST_DATA = bytes(range(11, 27)).hex()  # docksim's burst of 20 bytes, after type 1 and subtype 1


def start_monitor(link, *args):
    """A running monitor, once it has said it is listening (the callback is
    registered by then)."""
    proc = subprocess.Popen([FERRYCTL, "--link", link, "monitor", *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stderr], [], [], BOUND)
    assert ready and proc.stderr.readline().startswith("ferryctl: monitoring "), "monitor did not start"
    return proc


def finish(proc):
    start = time.monotonic()
    out, err = proc.communicate(timeout=BOUND)
    return proc.returncode, out, err, time.monotonic() - start


def test_monitor_prints_a_burst_up_to_its_count(target):
    proc = start_monitor(target.link, "--count", "5")
    target.command("burst 20 100")
    status, out, err, _ = finish(proc)
    assert status == 0, err
    heads = [line for line in out.splitlines() if not line.startswith("    ")]
    assert len(heads) == 5
    for head in heads:
        assert head.endswith("  type 0x0001  subtype 0x0001  16 bytes"), head
    assert out.splitlines()[1] == "    0000  0b 0c 0d 0e 0f 10 11 12  13 14 15 16 17 18 19 1a  |................|"
    assert err == "ferryctl: 5 messages\n"


def test_monitor_json_one_object_a_message(target):
    proc = start_monitor(target.link, "--json", "--count", "3")
    target.command("burst 20 10")
    status, out, _, _ = finish(proc)
    assert status == 0
    messages = [json.loads(line) for line in out.splitlines()]
    assert len(messages) == 3
    for m in messages:
        assert (m["type"], m["subtype"], m["length"], m["data"]) == (1, 1, 16, BURST_DATA)
        assert m["time"].endswith("Z")


def test_monitor_ends_on_timeout_signal_or_short_count(start_target):
    target = start_target()
    r = ferryctl("monitor", "--timeout", 1, link=target.link)
    assert (r.status, r.out) == (0, "") and 0.9 < r.seconds
    r = ferryctl("monitor", "--timeout", 1, "--count", 3, link=target.link)
    assert r.status == 1 and r.err.endswith("ferryctl: 0 of 3 messages within 1 s\n")
    # Ctrl-C is how a monitor without limits ends: a clean end. SIGTERM is not.
    for sig, expected in ((signal.SIGINT, 0), (signal.SIGTERM, 143)):
        proc = start_monitor(target.link)
        proc.send_signal(sig)
        status, _, _, seconds = finish(proc)
        assert status == expected and seconds < 2
    # The port was closed each time: the target still serves the next host.
    assert ferryctl("ping", "-n", 1, link=target.link).status == 0
