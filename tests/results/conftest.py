"""What the results tests share: a line's runs made with the real tuneprobe,
a fresh store on each backend (an SQLite file in the test's folder, or a
schema of its own on the PostgreSQL server TUNERESULTS_TEST_POSTGRES names),
the two programs run with their output parsed, and tuneresults serve for
the dashboard's tests.

The line: five runs of the automated test on four units, each recorded by
tuneprobe --store as it ends, its report kept too. Every run judges the
temperature against [20, 60] and the simulator reports the temperature
given, so the statistics can be worked out by hand.
"""
import contextlib
import csv
import io
import json
import os
import pathlib
import secrets
import selectors
import signal
import sqlite3
import subprocess
import urllib.error
import urllib.parse
import urllib.request

import pytest

TUNEPROBE = os.environ.get("TUNEPROBE", "")
TUNERESULTS = os.environ.get("TUNERESULTS", "")
VIRTUAL_TIME = os.environ.get("VIRTUAL_TIME", "")
POSTGRES = os.environ.get("TUNERESULTS_TEST_POSTGRES", "")

LIMITS = '[[limit]]\nmeasurement = "Temperature"\nrange = [20, 60]\n'

# unit, station, fixture, temperature, simulator faults, tuneprobe's exit
# status: in the order run.
LINE = [
    ("U1", "S1", "F1", 40, "", 0),  # passes
    ("U2", "S1", "F1", 42, "GetCWOffset/1:1=Bad read", 2),  # a verdict's value not read: FAIL
    ("U2", "S2", "F2", 44, "", 0),  # the retest passes
    ("U3", "S2", "F2", 65, "", 2),  # outside the temperature limit: FAIL
    ("U4", "S2", "F1", 46, "GetCINR=Busy", 3),  # a library error: not judged (ERROR)
]


HOSTILE = "<script>alert(1)</script>"  # a unit id that is markup


def program_env(extra=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("CALSIM_", "TUNERESULTS_"))}
    if VIRTUAL_TIME:
        env["LD_PRELOAD"] = VIRTUAL_TIME
        # An address-sanitizer build would take the preload for a wrong link
        # order; other builds ignore the setting.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    env.update(extra or {})
    return env


def tuneprobe(args, faults="", temperature=None, timeout=120):
    extra = {"CALSIM_SEED": "7"}
    if faults:
        extra["CALSIM_FAULTS"] = faults
    if temperature is not None:
        extra["CALSIM_TEMPERATURE"] = str(temperature)
    return subprocess.run([TUNEPROBE, "--interface", "local", "--run", "9.2", "--no-pause", "--load-mode", "1",
                           *args], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          env=program_env(extra), timeout=timeout, check=False)


def run_line_unit(store, folder, index, unit, station, fixture, temperature, faults):
    report = folder / f"run{index}-{unit}.jsonl"
    limits = folder / "limits.toml"
    if not limits.exists():
        limits.write_text(LIMITS)
    done = tuneprobe(["--dut-id", unit, "--station", station, "--fixture", fixture, "--operator", "ann",
                      "--limits", str(limits), "--report", str(report), "--store", store],
                     faults=faults, temperature=temperature)
    return done, report


def tuneresults(store, *args, stdin=None):
    """Runs tuneresults on store; the CompletedProcess, output as text."""
    return subprocess.run([TUNERESULTS, "--store", store, *args], input=stdin, capture_output=True, text=True,
                          env=program_env(), timeout=300, check=False)


def query_json(store, *args):
    done = tuneresults(store, *args, "--json")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def query_csv(store, *args):
    done = tuneresults(store, *args, "--csv")
    assert done.returncode == 0, done.stderr
    return list(csv.reader(io.StringIO(done.stdout, newline="")))


def report_run_id(path):
    # The start is among the first lines of a report of thousands.
    with open(path, encoding="utf-8") as report:
        for text in report:
            start = json.loads(text).get("testRunArtifact", {}).get("testRunStart")
            if start:
                return start["metadata"]["runId"]
    raise AssertionError(f"{path} has no testRunStart")


def psql(url, command):
    done = subprocess.run(["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-d", url, "-c", command],
                          capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout


class Store:
    """A fresh, empty store: its text for --store and SQL on it."""

    def __init__(self, kind, folder):
        self.kind = kind
        if kind == "sqlite":
            self.url = str(folder / "line.db")
            self.schema = None
        else:
            self.schema = "tuneresults_test_" + secrets.token_hex(6)
            psql(POSTGRES, f"CREATE SCHEMA {self.schema}")
            separator = "&" if "?" in POSTGRES else "?"
            self.url = f"{POSTGRES}{separator}options=-csearch_path%3D{self.schema}"

    def sql(self, query):
        """Rows of text, as psql -At gives them."""
        if self.kind == "sqlite":
            # Closed at once: an open connection would hold the write-ahead
            # log apart from the file.
            with contextlib.closing(sqlite3.connect(self.url)) as db, db:
                return [[("" if v is None else str(v)) for v in row] for row in db.execute(query)]
        text = psql(POSTGRES, f"SET search_path TO {self.schema}; {query}")
        return [line.split("|") for line in text.splitlines()]

    def tables(self):
        """The store's tables; none before anything opened it."""
        if self.kind == "sqlite":
            if not pathlib.Path(self.url).exists():
                return []
            return [row[0] for row in self.sql("SELECT name FROM sqlite_master WHERE type = 'table'")]
        return [row[0] for row in self.sql("SELECT tablename FROM pg_tables WHERE schemaname = current_schema()")]

    def drop(self):
        if self.schema:
            psql(POSTGRES, f"DROP SCHEMA {self.schema} CASCADE")


BACKENDS = ["sqlite", "postgresql"]


def make_store(kind, folder):
    if kind == "postgresql" and not POSTGRES:
        pytest.skip("TUNERESULTS_TEST_POSTGRES names no PostgreSQL server")
    return Store(kind, folder)


@pytest.fixture(params=BACKENDS)
def store(request, tmp_path):
    """An empty store of each kind for one test."""
    made = make_store(request.param, tmp_path)
    yield made
    made.drop()


@pytest.fixture(scope="module", params=BACKENDS)
def line(request, tmp_path_factory):
    """The line's five runs recorded by tuneprobe --store: (store, reports)."""
    folder = tmp_path_factory.mktemp("line")
    made = make_store(request.param, folder)
    reports = []
    for index, (unit, station, fixture, temperature, faults, status) in enumerate(LINE):
        done, report = run_line_unit(made.url, folder, index, unit, station, fixture, temperature, faults)
        assert done.returncode == status, done.stderr
        reports.append(report)
    yield made, reports
    made.drop()


@pytest.fixture(autouse=True)
def _binaries_given():
    for name, path in (("TUNEPROBE", TUNEPROBE), ("TUNERESULTS", TUNERESULTS)):
        if not path or not os.access(path, os.X_OK):
            pytest.fail(f"{name} must name the program (CTest sets it)")


# tuneresults serve, for the dashboard's tests.

class Server:
    """tuneresults serve on a free loopback port; its URL read from its first line."""

    def __init__(self, store):
        self.process = subprocess.Popen([TUNERESULTS, "--store", store, "serve", "--listen", "127.0.0.1:0"],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        env=program_env())
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(timeout=30):
                self.stop()
                pytest.fail("tuneresults serve printed no URL")
        self.url = self.process.stdout.readline().strip()
        assert self.url.startswith("http://127.0.0.1:"), self.url

    def get(self, path, method="GET"):
        """(status, body as text) of one request."""
        request = urllib.request.Request(self.url.rstrip("/") + path, method=method)
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                return response.status, response.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def api(self, path):
        status, body = self.get(path)
        assert status == 200, body
        return json.loads(body)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        _, stderr = self.process.communicate(timeout=30)
        return self.process.returncode, stderr


@pytest.fixture(scope="module")
def served(line, tmp_path_factory):
    """The line's store with one more run, of the hostile unit, served."""
    store, _ = line
    folder = tmp_path_factory.mktemp("hostile")
    (folder / "limits.toml").write_text(LIMITS)
    done = tuneprobe(["--dut-id", HOSTILE, "--station", "S3", "--fixture", "F3", "--limits", str(folder / "limits.toml"),
                      "--report", str(folder / "hostile.jsonl"), "--store", store.url], temperature=41)
    assert done.returncode == 0, done.stderr
    server = Server(store.url)
    yield store, server
    status, stderr = server.stop()
    assert status == 0, stderr


def quote(text):
    return urllib.parse.quote(text, safe="")
