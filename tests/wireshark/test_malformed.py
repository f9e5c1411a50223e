"""Hand-made captures: broken packets are marked (expert info, malformed)
and never stop the dissection of what follows; packets split across TCP
segments are put back together."""
import struct

from conftest import LINKTYPE_RAW, LINKTYPE_USER0, TcpStream, field_rows, packet, tshark, write_pcap

READ = packet(1, struct.pack("<II", 0x1234, 8))
WRITE = packet(2, struct.pack("<II", 0xCAFE0000, 0x01020304))
MESSAGE = packet(4, struct.pack("<HH", 7, 9) + bytes(range(100)))


def frames(capture, display_filter, extra=()):
    out, err = tshark(capture, [*extra, "-Y", display_filter], ["frame.number"])
    assert "Lua" not in err
    return [int(row[0][0]) for row in field_rows(out)]


def tcp_capture(path, segments, port=2800):
    """segments: (from_target, bytes) on one connection to port."""
    stream = TcpStream(41000, port)
    stream.handshake()
    for from_target, data in segments:
        stream.segment(from_target, data)
    write_pcap(path, LINKTYPE_RAW, stream.frames)
    return [n + 4 for n in range(len(segments))]  # frame numbers of the segments


def serial_capture(path, records):
    write_pcap(path, LINKTYPE_USER0, [bytes([d]) + data for d, data in records])


def test_broken_headers_are_marked_and_the_stream_goes_on(tmp_path):
    capture = tmp_path / "broken.pcap"
    bad_signature, huge, short, mismatch, good = tcp_capture(capture, [
        (False, packet(1, struct.pack("<II", 1, 2), signature=0xDEADBEEF) + WRITE),
        (False, struct.pack("<II", 0xBABEFACE, 0xFFFFFFF0) + READ),
        (True, packet(1, b"", length=2)[:10]),
        (False, packet(2, struct.pack("<II", 5, 6), length=40) + bytes(27)),
        (False, READ),
    ])
    assert frames(capture, "ferrylink.bad_signature") == [bad_signature]
    assert frames(capture, "ferrylink.bad_length") == [huge, short]
    assert frames(capture, "ferrylink.length_mismatch") == [mismatch]
    assert frames(capture, "_ws.expert.group == 0x07000000 && ferrylink") == [bad_signature, huge, short]
    # What follows a broken packet in the same segment is still decoded.
    out, _ = tshark(capture, ["-Y", "ferrylink.address"], ["frame.number", "ferrylink.address"])
    decoded = {int(r[0][0]): [int(a, 16) for a in r[1]] for r in field_rows(out)}
    assert decoded == {bad_signature: [1, 0xCAFE0000], huge: [0x1234], mismatch: [5], good: [0x1234]}


def test_random_bytes_before_a_packet_are_skipped_to_its_signature(tmp_path):
    capture = tmp_path / "noise.pcap"
    serial_capture(capture, [(0, b"\x01\xff\xce\xfa" + READ), (1, b"\xce\xfa\xbe" + WRITE)])
    out, _ = tshark(capture, [], ["ferrylink.junk", "ferrylink.address", "ferrylink.bad_signature"])
    rows = field_rows(out)
    assert [r[0] for r in rows] == [["01:ff:ce:fa"], ["ce:fa:be"]] or \
        [[c.replace(":", "") for c in r[0]] for r in rows] == [["01ffcefa"], ["cefabe"]]
    assert [r[1] for r in rows] == [["0x00001234"], ["0xcafe0000"]]


def test_packets_cut_short_on_a_serial_line_are_marked(tmp_path):
    capture = tmp_path / "cut.pcap"
    serial_capture(capture, [(1, MESSAGE[:50]), (1, READ[:6]), (0, READ[:11]), (0, READ)])
    assert frames(capture, "ferrylink.truncated") == [1, 2, 3]
    out, _ = tshark(capture, [], ["ferrylink.msg_type", "ferrylink.msg_subtype", "ferrylink.count",
                                  "ferrylink.direction"])
    rows = field_rows(out)
    assert rows[0][3] == ["1"] and rows[2][3] == ["0"]
    assert rows[3][2] == ["8"]  # the whole one after them decodes


def test_packets_split_across_segments_are_reassembled(tmp_path):
    capture = tmp_path / "split.pcap"
    stream = READ + WRITE + MESSAGE
    cuts = [3, 10, len(READ) + 5, len(READ) + len(WRITE) + 60]
    pieces = [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]
    numbers = tcp_capture(capture, [(False, piece) for piece in pieces])
    out, err = tshark(capture, [], ["frame.number", "ferrylink.address", "ferrylink.count", "ferrylink.value",
                                    "ferrylink.msg_type", "ferrylink.msg_subtype", "ferrylink.msg_data"])
    assert "Lua" not in err
    rows = {int(r[0][0]): r[1:] for r in field_rows(out)}
    assert rows[numbers[0]] == [[]] * 6 and rows[numbers[1]] == [[]] * 6
    assert rows[numbers[2]][:2] == [["0x00001234"], ["8"]]
    assert rows[numbers[3]][0] == ["0xcafe0000"] and rows[numbers[3]][2] == ["0x01020304"]
    assert rows[numbers[4]][3:5] == [["7"], ["9"]]
    assert rows[numbers[4]][5][0].replace(":", "") == bytes(range(100)).hex()
    assert frames(capture, "_ws.expert.severity >= 0x00600000 || _ws.malformed") == []


def test_the_base_port_preference_moves_the_ports(tmp_path):
    # Without the heuristic, which would find the packet on any port.
    ports_only = ["--disable-heuristic", "ferrylink_tcp"]
    capture = tmp_path / "port.pcap"
    tcp_capture(capture, [(False, READ)], port=40010)
    assert frames(capture, "ferrylink", ports_only) == []
    assert frames(capture, "ferrylink.count == 8", [*ports_only, "-o", "ferrylink.base_port:40000"]) == [4]
    # docksim's default base port is known without a preference.
    tcp_capture(capture, [(False, READ)], port=5000)
    assert frames(capture, "ferrylink.count == 8", ports_only) == [4]
