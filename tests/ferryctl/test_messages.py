"""Data messages: monitor while docksim sends, and how a monitor ends."""
import json
import os
import re
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


def test_monitor_ends_on_duration_signal_or_short_count(start_target):
    target = start_target()
    r = ferryctl("monitor", "--duration", 0.3, link=target.link)
    assert (r.status, r.out) == (0, "") and 0.3 < r.seconds
    r = ferryctl("monitor", "--duration", 0.3, "--count", 3, link=target.link)
    assert r.status == 1 and r.err.endswith("ferryctl: 0 of 3 messages within 0.3 s\n")
    # Ctrl-C is how a monitor without limits ends: a clean end. SIGTERM is not.
    for sig, expected in ((signal.SIGINT, 0), (signal.SIGTERM, 143)):
        proc = start_monitor(target.link)
        proc.send_signal(sig)
        status, _, _, seconds = finish(proc)
        assert status == expected and seconds < 2
    # The port was closed each time: the target still serves the next host.
    assert ferryctl("ping", "-n", 1, link=target.link).status == 0


def test_monitor_ends_when_the_target_goes(target):
    proc = start_monitor(target.link, "--json")
    target.command("burst 20 3")
    # The messages are out before the target goes: the notice of a lost
    # link may overtake what is still on its way.
    seen = b""
    deadline = time.monotonic() + BOUND
    while seen.count(b"\n") < 3 and time.monotonic() < deadline:
        if select.select([proc.stdout], [], [], 0.1)[0]:
            seen += os.read(proc.stdout.fileno(), 4096)
    assert [json.loads(line)["type"] for line in seen.splitlines()] == [1, 1, 1]
    target.command("drop")
    status, out, err, _ = finish(proc)
    assert (status, out) == (1, "")
    assert err == "ferryctl: the link to the target was lost after 3 messages\n"


def heads(out):
    return [line for line in out.splitlines() if not line.startswith("    ")]


def test_monitor_takes_a_whole_burst(start_target):
    target = start_target()
    proc = start_monitor(target.link, "--count", "100000")
    target.command("burst 20 100000")
    status, out, err, _ = finish(proc)
    assert (status, err) == (0, "ferryctl: 100000 messages\n")
    assert len(heads(out)) == 100000


DROPPED = re.compile(r"ferryctl: (\d+) of (\d+) data messages dropped \((\d+) waiting to be written: the output "
                     r"did not keep up; 0 in ferrylink\)\n")


def test_monitor_says_how_many_it_lost(start_target):
    # A reader that takes nothing for a while: large messages fill the
    # monitor's queue (8 MiB) behind the full pipe.
    target = start_target()
    proc = start_monitor(target.link, "--json", "--duration", "1")
    target.command("burst 8187 2000")
    time.sleep(0.3)
    status, out, err, _ = finish(proc)
    found = DROPPED.fullmatch(err)
    assert status == 3 and found, err
    dropped, seen, waiting = (int(n) for n in found.groups())
    assert 0 < dropped == waiting and len(out.splitlines()) == seen - dropped
    # A reader that never reads again: Ctrl-C still ends the monitor, and
    # what could not be written is counted too.
    proc = start_monitor(target.link)
    target.command("burst 8187 2000")
    time.sleep(0.3)
    start = time.monotonic()
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=BOUND) == 3 and time.monotonic() - start < 1
    err = proc.stderr.read()
    proc.stdout.close()
    proc.stderr.close()
    assert re.search(r"(^|\n)ferryctl: [1-9]\d* messages not written: the output took nothing more\n$", err), err
