"""The calibration link inside the data messages: the dissector names every
operation as calwire/calwire.h numbers it, and a capture of the simulated
library's proxy mode against docksim --modem decodes call by call, long
answers in fragments, over TCP and over a pty."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import DISSECTOR, read_capture

CALAPI_LIBRARY = os.environ.get("CALAPI_LIBRARY", "")
CALWIRE_HEADER = pathlib.Path(__file__).resolve().parents[2] / "calwire" / "calwire.h"

# The host: the simulated library in its proxy mode, driven through ctypes.
HOST = r"""
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.GetCalInterface.restype = ctypes.c_void_p
lib.GetCalInterface.argtypes = [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32]
for name in ("ConnectDevice", "DisconnectDevice", "GetDeviceMode", "ReadDevDataBytes"):
    getattr(lib, name).restype = ctypes.c_char_p
h = ctypes.c_void_p(lib.GetCalInterface(int(sys.argv[2]), sys.argv[3].encode(), int(sys.argv[4])))
assert h.value and lib.ConnectDevice(h) is None
mode, modulation = ctypes.c_uint32(), ctypes.c_uint32()
assert lib.GetDeviceMode(h, ctypes.byref(mode), ctypes.byref(modulation)) is None
data = (ctypes.c_uint8 * 32768)()
assert lib.ReadDevDataBytes(h, data, 32768, 0) is None
assert lib.DisconnectDevice(h) is None
lib.CloseCalInterface()
"""


def link_operations():
    text = CALWIRE_HEADER.read_text()
    named = {int(n): name for n, name in re.findall(r"X\((\d+), (\w+)", text)}
    named.update({1: "GetCalInterface", 2: "CloseCalInterface", 3: "GetOptionInfo"})
    return named


def test_the_dissector_names_every_operation_as_the_link_numbers_it():
    lua = pathlib.Path(DISSECTOR).read_text()
    table = lua[lua.index("local cal_operation_names = {"):]
    table = table[:table.index("}")]
    named = {int(n): name for n, name in re.findall(r'\[(\d+)\] = "(\w+)"', table)}
    assert named == link_operations()
    assert len(named) == 75


CAL_FIELDS = ["ferrylink.cal.subtype", "ferrylink.cal.request", "ferrylink.cal.operation", "ferrylink.cal.fragment",
              "ferrylink.cal.fragments"]


def proxy_session(batch, kind, capture):
    """The host's calls through docksim --modem: (the host's run, docksim's
    log, its base port or None)."""
    with batch.capture_docksim(kind, "--modem", "-v", "--capture", capture) as sim:
        env = {k: v for k, v in os.environ.items() if not k.startswith("CALSIM_")}
        env["CALSIM_PROXY"] = "1"
        if os.environ.get("ASAN_RUNTIME"):
            env.update(LD_PRELOAD=os.environ["ASAN_RUNTIME"], ASAN_OPTIONS="detect_leaks=0:abort_on_error=1")
        done = subprocess.run([sys.executable, "-c", HOST, CALAPI_LIBRARY, *sim.answers], env=env,
                              capture_output=True, text=True, timeout=60, check=False)
        log = sim.stop()
    return done, log, sim.ports()[0]


def ask(batch, directory):
    """A session over each link, and the question about both captures:
    kind -> (host run, docksim log, the query of its calibration messages)."""
    runs = {kind: proxy_session(batch, kind, directory / f"{kind}.pcap") for kind in ("tcp", "serial")}
    port = batch.port_options(runs["tcp"][2])
    answers = {}
    for kind, (done, log, _) in runs.items():
        linktype, frames = read_capture(directory / f"{kind}.pcap")
        answers[kind] = (done, log, batch.query(linktype, frames, "ferrylink.cal.subtype",
                                                [*CAL_FIELDS, "_ws.col.Info"], port))
    return answers


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_a_proxy_session_decodes_call_by_call(kind, asked):
    done, log, query = asked[kind]
    assert done.returncode == 0, done.stderr
    served = [(int(n), name) for n, name in re.findall(r"calibration request (\d+): (\w+)", log)]
    assert [name for _, name in served] == ["GetCalInterface", "ConnectDevice", "GetDeviceMode", "ReadDevDataBytes",
                                            "DisconnectDevice", "CloseCalInterface"]

    names = link_operations()
    rows = [row[:len(CAL_FIELDS)] for row in query.rows]
    # A frame may hold several messages: one value of each field per message.
    messages = [tuple(map(int, values)) for row in rows for values in zip(*row)]
    requests = [(request, names[operation]) for subtype, request, operation, _, _ in messages if subtype == 1]
    assert requests == served
    # The 32 KB read comes back in fragments, in order; the rest in one each.
    answers = {}
    for subtype, request, _, index, count in messages:
        if subtype == 2:
            answers.setdefault(request, []).append((index, count))
    read = served[3][0]
    count = answers[read][0][1]
    assert count > 1
    if kind == "tcp":
        assert answers[read] == [(i, count) for i in range(count)]
    else:
        # A serial record holds one write on the line: the dissector shows a
        # message that spans records as cut short, whole ones as they are.
        assert answers[read][0] == (0, count)
    assert all(parts == [(0, 1)] for request, parts in answers.items() if request != read)
    summaries = [info for row in query.rows if "1" in row[0] for info in row[len(CAL_FIELDS)]]
    assert any(f"Calibration request {read}: ReadDevDataBytes" in info for info in summaries), summaries
