"""docksim's captures of a real ferrylink host, read back through the
dissector: every request, reply and data message decodes to what the host
sent and received, over TCP and over a pty. One session per link serves
every test."""
import subprocess

import pytest

from conftest import FERRY_CLIENT, read_capture

FIELDS = ["ferrylink.direction", "ferrylink.type", "ferrylink.address", "ferrylink.count", "ferrylink.value",
          "ferrylink.memory", "ferrylink.msg_type", "ferrylink.msg_subtype", "ferrylink.msg_data"]
CLEAN = ("ferrylink.bad_signature || ferrylink.bad_length || ferrylink.truncated || ferrylink.short_payload"
         " || ferrylink.length_mismatch || ferrylink.stream_end || _ws.malformed || tcp.analysis.flags"
         " || tcp.checksum.status == 0 || ip.checksum.status == 0")


def session(batch, kind, capture):
    """Runs a host session against docksim; returns the host's output lines
    and docksim's base port (TCP) or None."""
    with batch.capture_docksim(kind, "--capture", capture) as sim:
        target = str(sim.ports()[0]) if kind == "tcp" else sim.tty()
        client = subprocess.Popen([FERRY_CLIENT, kind, target, "read", "0x1000", "16", "write", "0x2000",
                                   "0xdeadbeef", "read", "0x2000", "4", "send", "4", "01000200aabbcc", "read",
                                   "0x80000000", "2000", "expect", "4"], stdout=subprocess.PIPE, text=True)
        lines = []
        for line in client.stdout:
            lines.append(line.split())
            if line.startswith("send"):
                sim.command("send 32")
                sim.command("burst 20 3")
        assert client.wait(10) == 0, lines
        client.stdout.close()
    return lines, (sim.ports()[0] if kind == "tcp" else None)


TCP_FIELDS = ["tcp.srcport", "tcp.dstport", "tcp.flags"]


def ask(batch, directory):
    """A host session over each link, and the questions about both
    captures: the fields in one run, the problems in two passes in
    another. kind -> (host lines, base port or None, fields query,
    problems query)."""
    sessions = {kind: session(batch, kind, directory / (kind + ".pcap")) for kind in ("tcp", "serial")}
    checks = batch.port_options(sessions["tcp"][1])
    answers = {}
    # TCP last: its end is the capture's (which the second pass looks at).
    for kind in ("serial", "tcp"):
        lines, port = sessions[kind]
        linktype, frames = read_capture(directory / (kind + ".pcap"))
        fields = FIELDS + (TCP_FIELDS if kind == "tcp" else [])
        answers[kind] = (lines, port, batch.query(linktype, frames, None, fields, checks),
                         batch.query(linktype, frames, CLEAN, ["frame.number"], ["-2", *checks]))
    return answers


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_capture_decodes_to_what_the_host_saw(kind, asked):
    lines, _, fields, problems = asked[kind]
    assert "Lua" not in fields.stderr
    rows = [row[:len(FIELDS)] for row in fields.rows]
    columns = list(zip(*[row for row in rows if row[1]]))
    flat = [[v for cell in column for v in cell] for column in columns]
    _, _, addresses, counts, values, memory, msg_types, subtypes, msg_data = flat

    reads = [l for l in lines if l[0] == "read"]
    assert [int(a, 0) for a in addresses] == [0x1000, 0x2000, 0x2000, 0x80000000]
    assert [int(c) for c in counts] == [16, 4, 2000]
    assert [int(v, 0) for v in values] == [0xDEADBEEF]
    # The replies in the capture are the bytes the host got.
    assert [m.replace(":", "") for m in memory] == [r[4] for r in reads]
    assert memory[1].replace(":", "") == "efbeadde"

    # One data message from the host, then the target's: "send 32" holds 0, 1, 2...,
    # the burst's begin with type 1 subtype 1.
    assert [int(t) for t in msg_types] == [1, 0x0100, 1, 1, 1]
    assert [int(s) for s in subtypes] == [2, 0x0302, 1, 1, 1]
    received = [l[1] for l in lines if l[0] == "message"]
    assert [d.replace(":", "") for d in msg_data[1:]] == [m[8:] for m in received]
    assert msg_data[0].replace(":", "") == "aabbcc"

    # Requests come from the host, replies and data messages from the target.
    pairs = [(row[0][0], t) for row in rows if row[1] for t in row[1]]
    assert pairs[:2] == [("0", "6"), ("1", "6")]
    assert pairs.count(("0", "1")) == 3 and pairs.count(("1", "1")) == 3
    assert pairs.count(("1", "4")) == 4 and pairs.count(("0", "2")) == 1
    assert pairs[-1] == ("0", "5")

    # Two passes: packets the capture ends inside show only on the second.
    assert problems.rows == []


def test_tcp_capture_has_handshakes_and_ends(asked):
    _, port, fields, _ = asked["tcp"]
    flags = [(int(r[0][0]), int(r[1][0]), int(r[2][0], 16)) for r in (row[len(FIELDS):] for row in fields.rows)]
    for listening in (port, port + 10):
        mine = [f for f in flags if listening in f[:2]]
        assert mine[0][2] == 0x02 and mine[0][1] == listening
        assert mine[1][2] == 0x12 and mine[2][2] == 0x10
        assert sum(1 for f in mine if f[2] & 0x01) == 2
    # The two connections and no other (what tshark -z conv,tcp would list).
    assert len({frozenset(f[:2]) for f in flags}) == 2
