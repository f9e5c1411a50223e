"""The command line: help and version, and every kind of bad input, which
must give one line on standard error and exit 64 with nothing opened and no
file left behind."""
import os

import pytest

from conftest import run_tuneprobe, traced_calls


def test_help_and_version_go_to_standard_output():
    result = run_tuneprobe(["--help"], None)
    assert result.returncode == 0 and result.stderr == b""
    assert result.stdout.startswith(b"Usage: tuneprobe [OPTION]...\n")
    for option in (b"--interface", b"--run", b"--no-pause", b"--load-mode", b"--dut-id", b"--station",
                   b"--report", b"--junit", b"--log", b"--list-items", b"--operator", b"--fixture",
                   b"--metadata", b"--limits", b"--connect-attempts"):
        assert option in result.stdout
    result = run_tuneprobe(["--version"], None)
    assert result.returncode == 0 and result.stdout.startswith(b"tuneprobe ")


def test_item_names_are_unique_and_each_one_runs_its_item():
    listing = run_tuneprobe(["--list-items"], None).stdout.decode()
    rows = [line.split()[:2] for line in listing.splitlines() if line.startswith("  ")]
    assert len(rows) == 76
    names = [name for _, name in rows]
    assert len(set(names)) == 76
    assert ["9.2", "automated-test"] in rows and ["6.7", "get-mac-address"] in rows
    by_name = run_tuneprobe(["--interface", "local", "--run", "get-mac-address"], None)
    by_number = run_tuneprobe(["--interface", "local", "--run", "6.7"], None)
    assert by_name.returncode == 0 and by_name.stdout == by_number.stdout
    assert b"\nGetMACAddress:\n" in by_name.stdout


BAD_ARGUMENTS = [
    (["--frobnicate"], "unknown option --frobnicate"),
    (["-x"], "unknown option -x"),
    (["--run"], "needs a value"),
    (["--no-pause=1"], "option --no-pause=1 takes no value"),
    (["extra"], "unexpected argument extra"),
    # The link's rules are the shared table's (tests/data/link_texts.tsv);
    # here, that each kind of break is a usage error naming the option.
    (["--interface", "usb:1"], "--interface usb:1: expected local, tcp:ADDRESS[:PORT] or serial:PORT[:BAUD]"),
    (["--interface", "tcp:"], "--interface tcp:: the address is missing"),
    (["--interface", "tcp:127.0.0.1:65526"], "--interface tcp:127.0.0.1:65526: the TCP port must be a number "
                                             "from 1 to 65525"),
    (["--interface", "tcp:127.1"], "--interface tcp:127.1: the address must be an IPv4 address in dotted-decimal"),
    (["--interface", "serial:/dev/ttyS0:12345"], "--interface serial:/dev/ttyS0:12345: the baud rate must be one of"),
    (["--interface", "serial:/dev/" + "x" * 59], "the serial device name is longer than 63 bytes"),
    (["--dut-id", ""], "--dut-id needs a non-empty value"),
    (["--metadata", "lot"], "expected KEY=VALUE"),
    (["--metadata", "station=3"], "station is set by its own option"),
    (["--metadata", "lot=1", "--metadata", "lot=2"], "lot is given twice"),
    (["--connect-attempts", "0"], "from 1 to 1000"),
    (["--limits", "l.toml"], "--limits needs --run ITEM"),
    (["--run", "1.3", "--limits", "/nonexistent/l.toml"], "--limits /nonexistent/l.toml: No such file"),
    (["--run", "9.9"], "--run 9.9: no such menu item"),
    (["--run", "0.1"], "--run 0.1: no such menu item"),
    (["--run", "no-such-item"], "--run no-such-item: no such menu item"),
    (["--run", "9.2", "--load-mode", "3"], "the load mode must be 1 (from NVM) or 2 (from DDR)"),
    (["--report", "r.jsonl"], "--report needs --run ITEM"),
    (["--run", "9.2", "--junit", ""], "--junit needs a file name"),
]


@pytest.mark.parametrize("arguments,message", BAD_ARGUMENTS)
def test_usage_errors_exit_64_with_one_line_and_nothing_opened(tmp_path, arguments, message):
    trace = tmp_path / "calls"
    result = run_tuneprobe(arguments, None, trace=trace)
    assert result.returncode == 64
    assert result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tuneprobe: ") and message in lines[0]
    assert traced_calls(trace) == []


def test_files_are_checked_before_any_is_touched(tmp_path):
    kept = tmp_path / "kept.jsonl"
    kept.write_text("yesterday's report\n")
    cases = [
        (["--report", str(kept), "--junit", str(tmp_path / "no" / "r.xml")], "cannot write the JUnit file"),
        (["--report", str(kept), "--log", str(tmp_path / "." / "kept.jsonl")], "--report and --log name the same file"),
        (["--report", str(kept), "--junit", str(tmp_path)], "Is a directory"),
    ]
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    cases.append((["--log", str(fifo)], "cannot write the log"))  # nobody reads it: refused, not waited for
    for arguments, message in cases:
        result = run_tuneprobe(["--interface", "local", "--run", "1.3", *arguments], None, timeout=20)
        assert result.returncode == 64 and message in result.stderr.decode(), arguments
        assert kept.read_text() == "yesterday's report\n"
    assert sorted(os.listdir(tmp_path)) == ["fifo", "kept.jsonl"]


def test_an_unwritable_file_leaves_no_other_file_behind(tmp_path):
    trace = tmp_path / "calls"
    report, junit = tmp_path / "r.jsonl", tmp_path / "missing" / "r.xml"
    result = run_tuneprobe(["--interface", "local", "--run", "9.2", "--report", str(report), "--junit", str(junit)],
                           None, trace=trace)
    assert result.returncode == 64
    assert result.stderr.decode() == f"tuneprobe: cannot write the JUnit file {junit}: No such file or directory\n"
    assert sorted(os.listdir(tmp_path)) == []  # not even the trace: nothing was opened
    result = run_tuneprobe(["--interface", "local", "--run", "9.2", "--report", str(tmp_path)], None)
    assert result.returncode == 64 and b"cannot write the report" in result.stderr


# A transport alone is the dialogue's default link of that transport.
@pytest.mark.parametrize("interface", ["local", "tcp", "serial", "tcp:10.1.2.3:5000", "serial:/dev/ttyS0:9600"])
def test_the_interface_option_skips_the_dialogue_and_keeps_its_defaults(tmp_path, interface):
    trace = tmp_path / "calls"
    result = run_tuneprobe(["--interface", interface, "--run", "1.3"], None, trace=trace)
    assert result.returncode == 0
    assert b"INTERFACE TYPE" not in result.stdout
    assert traced_calls(trace) == ["GetCalInterface handle", "ConnectDevice ok", "DisconnectDevice ok",
                                   "CloseCalInterface"]
