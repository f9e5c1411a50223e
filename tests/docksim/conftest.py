"""Shared pieces of the tests of docksim's command line.

CTest passes docksim (DOCKSIM, started through tests/pylib/docksim_process.py)
and FERRY_CLIENT, a ferrylink host that runs the requests named on its
command line (built in tests/wireshark).
"""
import os
import struct
import time

FERRY_CLIENT = os.environ.get("FERRY_CLIENT", "")

LINKTYPE_RAW = 101
LINKTYPE_USER0 = 147


def read_pcap(path):
    """(linktype, [frame]) of a classic pcap file; asserts that it is whole:
    a header, then records that end exactly at the end."""
    with open(path, "rb") as capture:
        data = capture.read()
    assert len(data) >= 24, "no pcap header"
    magic, major, minor, _, _, _, linktype = struct.unpack("<IHHiIII", data[:24])
    assert (magic, major, minor) == (0xA1B2C3D4, 2, 4)
    records, at = [], 24
    while at < len(data):
        assert len(data) - at >= 16, "record header cut short"
        _, _, caplen, origlen = struct.unpack("<IIII", data[at:at + 16])
        assert caplen == origlen and len(data) - at - 16 >= caplen, "record cut short"
        records.append(data[at + 16:at + 16 + caplen])
        at += 16 + caplen
    return linktype, records


def wait_for(predicate, timeout=5.0):
    """Polls predicate until it is true or timeout seconds pass."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()
