"""The dissector over hand-made TCP streams: found by its content on a port
it is not told (and other bytes left alone), a packet that its stream ends
inside shown cut short with what arrived, and several packets in one
segment listed apart in the Info column."""
import struct

import pytest

from conftest import LINKTYPE_RAW, SIGNATURE, TcpStream, packet

READ = packet(1, struct.pack("<II", 0x1234, 8))
REPLY = packet(1, b"\xef\xbe\xad\xde")
WRITE = packet(2, struct.pack("<II", 0xCAFE0000, 0x01020304))
MESSAGE = packet(4, struct.pack("<HH", 7, 9) + bytes(range(100)))
HOST, TARGET = False, True
FIN, RST = 0x11, 0x14


def cut_short(message):
    """The frames with the warning of a packet cut short, worded so."""
    return f'ferrylink.stream_end && _ws.expert.message == "{message}"'


# (target port, segments [(from_target, bytes[, TCP flags])], tshark options,
# display filter, fields, {frame: values}); frames 1-3 are the handshake.
# BASE is the session's base port, asked about with its options (ON_BASE).
# The unknown port is above the host's, so that only the SYN tells which
# side is the target. All cases go to tshark together, each its own stream.
BASE, ON_BASE = "base port", "base port options"
CASES = {
    "found on an unknown port": (
        45123, [(HOST, READ), (TARGET, REPLY[:6]), (TARGET, REPLY[6:]), (HOST, WRITE)], ON_BASE, "ferrylink",
        ["ferrylink.direction", "ferrylink.type"], {4: [["0"], ["1"]], 6: [["1"], ["1"]], 7: [["0"], ["2"]]}),
    "other bytes on an unknown port left alone": (
        45123, [(HOST, b"\x00\x01 not a packet " + READ)], ON_BASE, "ferrylink", [], {}),
    "a header too short for a packet": (
        45123, [(HOST, struct.pack("<II", SIGNATURE, 4) + bytes(4) + READ)], ON_BASE, "ferrylink", [], {}),
    "a header too long for a packet": (
        45123, [(HOST, struct.pack("<II", SIGNATURE, 65541) + READ)], ON_BASE, "ferrylink", [], {}),
    "a FIN inside a packet": (
        BASE, [(HOST, READ), (HOST, MESSAGE[:50]), (HOST, MESSAGE[50:80]), (HOST, b"", FIN)], ON_BASE,
        cut_short("Packet cut short by FIN: 80 of 117 bytes arrived"), ["ferrylink.type", "ferrylink.begins_in"],
        {7: [["4"], ["5"]]}),
    "a reset inside the other side's header": (
        BASE, [(TARGET, READ[:5]), (HOST, b"", RST)], ON_BASE,
        cut_short("Header cut short by reset: 5 of 8 bytes arrived"), ["ferrylink.direction", "ferrylink.begins_in"],
        {5: [["1"], ["4"]]}),
    "the end of the capture inside a packet": (
        45123, [(HOST, READ + MESSAGE[:50])], ["-2"],
        cut_short("Packet cut short by the end of the capture: 50 of 117 bytes arrived"),
        ["ferrylink.type", "ferrylink.begins_in", "_ws.col.Info"],
        {4: [["1", "4"], ["4"], ["Remote read address 0x00001234 count 8; "
                                 "Data message cut short by the end of the capture: 50 of 117 bytes"]]}),
    "three packets in a segment": (
        BASE, [(HOST, MESSAGE[:20]), (HOST, MESSAGE[20:] + READ + WRITE)], ON_BASE, "ferrylink", ["_ws.col.Info"],
        {5: [["Data message type 7 subtype 9, 104 bytes; Remote read address 0x00001234 count 8; "
              "Remote write address 0xCAFE0000 value 0x01020304"]]}),
}


def ask(batch, _):
    """Every case's query."""
    queries = {}
    for name, (port, segments, options, display_filter, fields, _) in CASES.items():
        stream = TcpStream(batch.host_port(), batch.base_port() if port == BASE else port)
        options = batch.port_options() if options == ON_BASE else options
        stream.handshake()
        for from_target, data, *flags in segments:
            stream.segment(from_target, data, *flags)
        queries[name] = batch.query(LINKTYPE_RAW, stream.frames, display_filter, ["frame.number", *fields], options)
    return queries


@pytest.mark.parametrize("name", CASES)
def test_tcp_stream(name, asked):
    expected = CASES[name][-1]
    assert "Lua" not in asked[name].stderr
    rows = {int(row[0][0]): row[1:] for row in asked[name].rows}
    assert rows == expected
