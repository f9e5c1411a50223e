"""The store itself: reports that are damaged, stores of another schema
version, several writers at once, and the command line's usage errors."""
import hashlib
import json
import signal
import subprocess
import time

import pytest

from conftest import TUNERESULTS, program_env, report_run_id, tuneprobe, tuneresults


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """One passing run's report."""
    path = tmp_path_factory.mktemp("report") / "u1.jsonl"
    done = tuneprobe(["--dut-id", "U1", "--report", str(path)])
    assert done.returncode == 0, done.stderr
    return path


def damaged(lines, how):
    """The report's lines damaged as named; the (1-based) line refused."""
    if how == "malformed line":
        return lines[:5] + ['{"sequenceNumber": 5, "timestamp": '] + lines[6:], 6
    if how == "truncated last line":
        return lines[:-1] + [lines[-1][:40]], len(lines)
    if how == "line before the run starts":
        return [lines[0], lines[3]] + lines[1:], 2
    raise AssertionError(how)


# how, whether the run still ends (testRunEnd read)
DAMAGE = [("malformed line", True), ("truncated last line", False), ("line before the run starts", True)]


@pytest.mark.parametrize("how,complete", DAMAGE)
def test_a_refused_line_is_named_and_the_rest_imported(store, report, tmp_path, how, complete):
    lines, refused = damaged(report.read_text().splitlines(), how)
    path = tmp_path / "damaged.jsonl"
    path.write_text("\n".join(lines) + ("\n" if complete else ""))
    done = tuneresults(store.url, "import", str(path))
    assert done.returncode == 2
    assert done.stderr.splitlines() == [done.stderr.splitlines()[0]]
    assert done.stderr.startswith(f"{path}:{refused}: ")
    assert store.sql("SELECT run_id, complete FROM runs") == [[report_run_id(report), "1" if complete else "0"]]
    # The whole report replaces a run stored cut short, and only that.
    again = tuneresults(store.url, "import", "--json", "-", stdin=report.read_text())
    assert again.returncode == 0, again.stderr
    (row,) = json.loads(again.stdout)
    assert (row["file"], row["already_stored"], row["replaced"]) == ("-", int(complete), int(not complete))
    assert store.sql("SELECT complete FROM runs") == [["1"]]


def test_an_empty_store_is_created_at_the_current_version(store, report):
    done = tuneresults(store.url, "import", str(report))
    assert done.returncode == 0, done.stderr
    assert store.sql("SELECT version FROM schema_version") == [["1"]]


def test_a_newer_store_is_refused_and_left_as_it_is(store, report, tmp_path):
    assert tuneresults(store.url, "import", str(report)).returncode == 0
    store.sql("UPDATE schema_version SET version = 2")
    if store.kind == "sqlite":
        before = hashlib.sha256(open(store.url, "rb").read()).hexdigest()
    second = tmp_path / "second.jsonl"
    run = tuneprobe(["--dut-id", "U9", "--report", str(second), "--store", store.url])
    assert run.returncode == 3  # the unit was not recorded: retest
    assert "newer than the 1 this program knows" in run.stderr
    assert second.read_text().splitlines()[-1].find('"testRunEnd"') > 0
    for args in (["import", str(second)], ["yield"], ["history", "U1"]):
        done = tuneresults(store.url, *args)
        assert done.returncode == 1 and "schema version 2" in done.stderr
    assert store.sql("SELECT version FROM schema_version") == [["2"]]
    assert store.sql("SELECT COUNT(*) FROM runs") == [["1"]]
    if store.kind == "sqlite":
        assert hashlib.sha256(open(store.url, "rb").read()).hexdigest() == before


def test_a_store_that_cannot_be_written_keeps_the_report(tmp_path):
    path = tmp_path / "u1.jsonl"
    run = tuneprobe(["--dut-id", "U1", "--report", str(path), "--store", str(tmp_path / "no" / "such.db")])
    assert run.returncode == 3 and "cannot record the run in the store" in run.stderr
    assert '"testRunEnd"' in path.read_text().splitlines()[-1]


def test_concurrent_writers_lose_nothing_and_double_nothing(store, tmp_path):
    """Six tuneprobe runs recording as they end, and two imports of the same
    five reports, all at once on a store nobody has created yet. The runs
    take real time: a writer waiting for the store sleeps, and virtual time
    would end its wait at once."""
    reports = []
    for i in range(5):
        reports.append(tmp_path / f"r{i}.jsonl")
        assert tuneprobe(["--dut-id", f"R{i}", "--report", str(reports[i])]).returncode == 0
    env = program_env({"LD_PRELOAD": "", "CALSIM_SEED": "3"})
    probes = [subprocess.Popen([*tuneprobe_command(), "--dut-id", f"P{i}", "--store", store.url,
                                "--report", str(tmp_path / f"p{i}.jsonl")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               env=env) for i in range(6)]
    imports = [subprocess.Popen([TUNERESULTS, "--store", store.url, "import", *map(str, reports)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env) for _ in range(2)]
    for process in probes + imports:
        _, errors = process.communicate(timeout=300)
        assert process.returncode == 0, errors
    ids = [report_run_id(tmp_path / f"p{i}.jsonl") for i in range(6)] + [report_run_id(r) for r in reports]
    assert sorted(row[0] for row in store.sql("SELECT run_id FROM runs")) == sorted(ids)
    measured = store.sql("SELECT run_id, COUNT(*) FROM measurements GROUP BY run_id")
    expected = {report_run_id(r): sum('"measurement":' in l for l in r.read_text().splitlines()) for r in reports}
    assert {rid: int(n) for rid, n in measured if rid in expected} == expected


def tuneprobe_command():
    from conftest import TUNEPROBE
    return [TUNEPROBE, "--interface", "local", "--run", "9.2", "--no-pause", "--load-mode", "1"]


USAGE = [
    ([], "no command given"),
    (["frobnicate"], "unknown command frobnicate"),
    (["yield", "--by", "week"], "--by week: expected station, fixture, day or shift"),
    (["pareto", "--by", "station"], "pareto takes no --by"),
    (["failures", "-n", "0"], "-n 0: expected a number from 1 to 1000000"),
    (["history"], "history needs an argument"),
    (["history", "U1", "U2"], "unexpected argument U2"),
    (["yield", "--json", "--csv"], "--json and --csv exclude each other"),
    (["yield", "--since", "yesterday"], "--since yesterday: expected a date"),
    (["yield", "--since", "2026-12-09", "--until", "2026-12-08"], "--since must come before --until"),
    (["--store"], "option --store needs a value"),
]


@pytest.mark.parametrize("args,message", USAGE)
def test_usage_errors(tmp_path, args, message):
    done = subprocess.run([TUNERESULTS, *args], capture_output=True, text=True, cwd=tmp_path,
                          env=program_env(), timeout=60, check=False)
    assert done.returncode == 64 and done.stdout == ""
    assert done.stderr.startswith("tuneresults: ") and message in done.stderr
    assert len(done.stderr.splitlines()) == 1
    assert list(tmp_path.iterdir()) == []  # no default store made


def test_help_and_version(tmp_path):
    for option, start in (("--help", "Usage: tuneresults "), ("--version", "tuneresults ")):
        done = subprocess.run([TUNERESULTS, option], capture_output=True, text=True, env=program_env(),
                              timeout=60, check=False)
        assert done.returncode == 0 and done.stdout.startswith(start) and done.stderr == ""


def test_a_report_written_another_way_reads_the_same(store, report, tmp_path):
    """tuneprobe's series elements are read by a scanner of their exact text;
    the same report spaced and ordered otherwise goes through the JSON
    parser, and must store the same values."""
    other = tmp_path / "respaced.jsonl"
    run_id = report_run_id(report)
    lines = []
    for text in report.read_text().splitlines():
        line = json.loads(text.replace(run_id, "respaced-run"))
        lines.append(json.dumps(dict(reversed(list(line.items())))))
    other.write_text("\n".join(lines) + "\n")
    done = tuneresults(store.url, "import", str(report), str(other))
    assert done.returncode == 0, done.stderr
    for table, key in (("measurement_series", "series_id"), ("measurements", "seq")):
        rows = store.sql(f"SELECT run_id, {key}, name, value_list FROM {table} ORDER BY {key}"
                         if table == "measurement_series" else
                         f"SELECT run_id, {key}, name, value, pass FROM {table} ORDER BY {key}")
        mine = [row[1:] for row in rows if row[0] == run_id]
        assert mine and mine == [row[1:] for row in rows if row[0] == "respaced-run"]


# signal, whether the run is then in the store, its status there
ENDINGS = [(signal.SIGTERM, True, "ERROR"), (signal.SIGKILL, False, None)]


@pytest.mark.parametrize("signum,recorded,status", ENDINGS, ids=lambda v: getattr(v, "name", None))
def test_a_run_ended_early_is_recorded_whole_or_not_at_all(store, tmp_path, signum, recorded, status):
    """SIGTERM ends the run as the end of input does, and it is recorded with
    its end; SIGKILL leaves nothing half-written. Real time, so that the
    signal comes while the run is in its steps."""
    report = tmp_path / "u1.jsonl"
    process = subprocess.Popen([*tuneprobe_command(), "--dut-id", "K1", "--report", str(report),
                                "--store", store.url], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=program_env({"LD_PRELOAD": ""}))
    while process.poll() is None and (not report.exists() or '"testStepStart"' not in report.read_text()):
        time.sleep(0.05)
    process.send_signal(signum)
    process.communicate(timeout=120)
    runs = store.sql("SELECT run_id, status, complete FROM runs") if "runs" in store.tables() else []
    if recorded:
        assert runs == [[report_run_id(report), status, "1"]]
        steps = store.sql("SELECT COUNT(*) FROM steps")[0][0]
        assert int(steps) == sum('"testStepStart"' in line for line in report.read_text().splitlines())
    else:
        assert runs == []
