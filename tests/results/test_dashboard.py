"""tuneresults serve over the line's store (conftest.py) plus a unit whose id
is markup: the JSON API against tuneresults' own answers, its refusals, and
every view in headless Chromium (skipped when Chromium, its driver or
Selenium is missing). Screenshots go to DASHBOARD_SCREENSHOTS when that
names a folder; a failed check leaves one of its page in the test's folder."""
import contextlib
import json
import os
import pathlib
import selectors
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from conftest import LIMITS, TUNERESULTS, program_env, query_json, tuneprobe

HOSTILE = "<script>alert(1)</script>"
# The headless shell: Chromium's engine without the browser's own pages and
# services, which a test has no use for (half the processor time).
CHROMIUM = "/usr/bin/chromium-headless-shell"
CHROMEDRIVER = "/usr/bin/chromedriver"


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


def test_json_api_answers_as_the_commands_and_refuses_what_it_cannot_use(served):
    store, server = served
    line = server.api("/api/line")
    for key in ("yield_today", "yield_week"):
        since = line[key]["since"]
        assert line[key]["rows"] == query_json(store.url, "yield", "--by", "station", "--since", since)
    assert sum(row["runs"] for row in line["yield_week"]["rows"]) == 6
    assert line["runs"][0]["dut_id"] == HOSTILE and len(line["runs"]) == 6
    assert line["failures"] == query_json(store.url, "failures", "-n", "10")
    assert server.api("/api/pareto")["rows"] == query_json(store.url, "pareto")
    measurement = server.api("/api/measurement?name=Temperature")
    assert measurement["stats"] == query_json(store.url, "stats", "Temperature")[0]
    assert sum(b["count"] for b in measurement["histogram"]) == measurement["stats"]["count"] == 6
    assert [p["value"] for p in measurement["trend"]][:2] == [40, 42]
    unit = server.api("/api/unit?id=U2")
    history = query_json(store.url, "history", "U2")
    assert [{k: run[k] for k in history[0]} for run in unit["runs"]] == history
    failed = {m["name"] for m in unit["runs"][0]["measurements"] if m["pass"] == 0}
    assert unit["runs"][0]["diagnoses"] and not failed  # a verdict's value not read, not out of limits
    assert {s["name"] for s in unit["series"]} >= {"Rx spectrum"} and all(s["values"] for s in unit["series"])
    assert server.api("/api/unit?id=" + quote(HOSTILE))["id"] == HOSTILE
    # The page carries the id only as escaped JSON.
    status, page = server.get("/unit?id=" + quote(HOSTILE))
    assert status == 200 and HOSTILE not in page and "\\u003cscript\\u003e" in page

    for path in ("/api/unit", "/api/unit?id=", "/api/unit?id=U1&id=U2", "/api/unit?id=U1&x=1", "/api/line?x=1",
                 "/api/measurement", "/api/pareto?since=yesterday", "/api/pareto?since=2026-12-09&until=2026-12-08",
                 "/api/unit?id=%01", "/api/unit?id=%ff", "/unit", "/measurement?name="):
        status, body = server.get(path)
        assert status == 400 and json.loads(body).get("error") if path.startswith("/api") else status == 400, path
    for path in ("/api/unit?id=U9", "/api/measurement?name=Nothing", "/unit?id=U9", "/nothing"):
        assert server.get(path)[0] == 404, path
    for method in ("POST", "PUT", "DELETE", "PATCH", "OPTIONS"):
        for path in ("/", "/api/line", "/nothing"):
            assert server.get(path, method)[0] == 405, (method, path)
    assert server.get("/api/line", "HEAD") == (200, "")
    # The scripts are asked again by their tag, and nothing goes out compressed.
    request = urllib.request.Request(server.url + "static/chart.js", headers={"Accept-Encoding": "br, gzip"})
    with urllib.request.urlopen(request, timeout=30) as response:
        tag = response.headers["ETag"]
        assert tag and "Content-Encoding" not in response.headers and response.read().strip()
    request.add_header("If-None-Match", tag)
    with pytest.raises(urllib.error.HTTPError) as unchanged:
        urllib.request.urlopen(request, timeout=30)  # pylint: disable=consider-using-with
    assert unchanged.value.code == 304


def test_a_run_recorded_while_serving_shows_at_once(store, tmp_path):
    def record(unit):
        done = tuneprobe(["--dut-id", unit, "--station", "S1", "--report", str(tmp_path / f"{unit}.jsonl"),
                          "--store", store.url])
        assert done.returncode == 0, done.stderr

    record("U1")
    server = Server(store.url)
    # A reader that stays open keeps the runs in the write-ahead log, as a
    # long import does: the store's file alone does not change.
    reader = sqlite3.connect(store.url) if store.kind == "sqlite" else None
    try:
        if reader:
            reader.execute("SELECT COUNT(*) FROM runs").fetchall()
        assert [run["dut_id"] for run in server.api("/api/line")["runs"]] == ["U1"]
        assert server.api("/api/unit?id=U1")["runs"][0]["attempt"] == 1
        record("U2")
        record("U1")
        assert [run["dut_id"] for run in server.api("/api/line")["runs"]] == ["U1", "U2", "U1"]
        assert len(server.api("/api/unit?id=U1")["runs"]) == 2
    finally:
        if reader:
            reader.close()
        assert server.stop()[0] == 0


def test_a_store_that_cannot_be_read_is_a_503_and_is_not_created(tmp_path):
    missing = tmp_path / "missing.db"
    (tmp_path / "junk.db").write_text("not a database\n" * 100)
    for store in (missing, tmp_path / "junk.db"):
        server = Server(str(store))
        try:
            for path in ("/api/line", "/api/pareto", "/api/unit?id=U1", "/"):
                status, body = server.get(path)
                assert status == 503 and ("store" in body), (path, body)
        finally:
            assert server.stop()[0] == 0
    assert not missing.exists()


def test_a_store_locked_by_a_writer_is_a_503_not_a_wait(tmp_path):
    locked = tmp_path / "locked.db"
    with contextlib.closing(sqlite3.connect(locked, isolation_level=None)) as db:
        db.executescript("CREATE TABLE schema_version (version INTEGER); INSERT INTO schema_version VALUES (1);"
                         "CREATE TABLE runs (run_id TEXT)")
        db.execute("BEGIN EXCLUSIVE")
        server = Server(str(locked))
        try:
            status, body = server.get("/api/line")
            assert status == 503 and "locked" in json.loads(body)["error"]
        finally:
            assert server.stop()[0] == 0


@contextlib.contextmanager
def browser(folder):
    """A headless Chromium session with its profile and logs in folder."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        pytest.skip("python3-selenium is not installed")
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not installed (chromium-headless-shell, chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # The shell is always headless. Its profile is the one chromedriver
    # makes in TMPDIR: in a profile folder of the test's choosing the driver
    # finds no page to drive.
    for argument in ("--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,1400",
                     f"--disk-cache-dir={folder / 'cache'}"):
        options.add_argument(argument)
    # Chromium keeps a socket in TMPDIR, whose path must fit a socket
    # address: the test's folder is too deep for it, hence a short one,
    # removed with the profile in it.
    short = tempfile.mkdtemp(prefix="dashboard.", dir="/tmp")
    home = {"HOME": str(folder), "XDG_CONFIG_HOME": str(folder / "config"), "XDG_CACHE_HOME": str(folder / "cache"),
            "TMPDIR": short}
    service = Service(CHROMEDRIVER, log_path=str(folder / "chromedriver.log"), env=dict(os.environ, **home))
    try:
        driver = webdriver.Chrome(service=service, options=options)
        browsers = descendants(service.process.pid)
        try:
            yield driver
        finally:
            driver.quit()
            # The shell outlives the driver's quit: it is ended here, and
            # its folder removed once nothing writes to it any more.
            end_processes(browsers)
    finally:
        shutil.rmtree(short, ignore_errors=True)


def descendants(pid):
    """The processes under pid, as /proc shows them now."""
    children = {}
    for entry in pathlib.Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text() if entry.name.isdigit() else ""
        except OSError:
            continue
        if stat:
            children.setdefault(int(stat[stat.rindex(")") + 2:].split()[1]), []).append(int(entry.name))
    found, todo = [], [pid]
    while todo:
        below = children.get(todo.pop(), [])
        found.extend(below)
        todo.extend(below)
    return found


def end_processes(pids, limit=10.0):
    """Asks pids to end, then kills what still runs after limit seconds."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, sig)
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if not any(running(pid) for pid in pids):
                return
            time.sleep(0.02)


def running(pid):
    """Whether pid runs (a zombie has ended)."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def test_every_view_in_a_browser(served, tmp_path):
    store, server = served
    with browser(tmp_path) as driver:
        try:
            check_views(driver, store, server, tmp_path)
        except Exception:
            driver.save_screenshot(str(tmp_path / "failed.png"))
            raise


def check_views(driver, store, server, tmp_path):
    # Each view's picture when asked for (a picture costs the browser more
    # than most views); the page a check failed on is kept anyway.
    shots = pathlib.Path(os.environ["DASHBOARD_SCREENSHOTS"]) if os.environ.get("DASHBOARD_SCREENSHOTS") else None

    def load(path, name):
        driver.get(server.url.rstrip("/") + path)
        driver.find_element("css selector", "body[data-ready='yes']")
        assert driver.execute_script("return typeof Chart") == "function", "Chart.js not loaded"
        if shots:
            shots.mkdir(parents=True, exist_ok=True)
            driver.save_screenshot(str(shots / f"{name}.png"))

    def chart(canvas):
        """The plot's data as Chart.js holds it, and how many pixels it drew."""
        return driver.execute_script("""
            const canvas = document.getElementById(arguments[0]);
            const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
            let drawn = 0;
            for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) drawn++;
            const chart = Chart.getChart(canvas);
            return [chart.data.labels, chart.data.datasets.map((d) => d.data), drawn];""", canvas)

    def cells(table):
        return driver.execute_script(
            "return [...document.querySelectorAll(arguments[0] + ' tbody tr')].map((r) => "
            "[...r.cells].map((c) => c.textContent));", "#" + table)

    driver.implicitly_wait(20)
    driver.set_page_load_timeout(60)
    load("/", "line")
    line = server.api("/api/line")
    labels, datasets, drawn = chart("yield-chart")
    week = {r["station"]: r["first_pass_yield"] for r in line["yield_week"]["rows"]}
    assert labels == sorted(week) and datasets[1] == [week[s] for s in labels] and drawn > 1000
    assert [row[0] for row in cells("runs")] == [r["dut_id"] for r in line["runs"]]
    assert {row[-1] for row in cells("failures")} == {r["detail"] for r in line["failures"]}

    load("/pareto", "pareto")
    rows = query_json(store.url, "pareto")
    labels, datasets, drawn = chart("pareto-chart")
    assert labels == [f"{r['kind']}: {r['name']}" for r in rows] and datasets == [[r["count"] for r in rows]]
    assert drawn > 1000

    load("/measurement?name=Temperature", "measurement")
    stats = query_json(store.url, "stats", "Temperature")[0]
    shown = cells("stats")[0]
    assert shown[1] == str(stats["count"]) and float(shown[9]) == pytest.approx(stats["cpk"], abs=1e-4)
    assert sum(chart("histogram-chart")[1][0]) == stats["count"] and chart("histogram-chart")[2] > 1000
    _, trend, drawn = chart("trend-chart")
    assert len(trend[0]) == stats["count"] and trend[1] == [20] * stats["count"] and drawn > 1000

    load("/unit?id=U2", "unit")
    unit = server.api("/api/unit?id=U2")
    assert len(cells("history")) == 2
    spectrum = next(i for i, s in enumerate(unit["series"]) if s["name"] == "Rx spectrum")
    _, datasets, drawn = chart(f"series-chart-{spectrum}")
    assert datasets == [unit["series"][spectrum]["values"]] and drawn > 1000

    load("/unit?id=" + quote(HOSTILE), "unit-hostile")
    assert driver.find_element("id", "unit-title").text == "Unit " + HOSTILE
    assert driver.execute_script("return document.querySelectorAll('main script').length") == 0
    from selenium.common.exceptions import NoAlertPresentException
    with pytest.raises(NoAlertPresentException):
        driver.switch_to.alert.text  # pylint: disable=expression-not-assigned

    load("/unit?id=U9", "unit-unknown")
    assert "no runs of unit U9" in driver.find_element("id", "error").text
