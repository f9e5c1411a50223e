"""Every view of tuneresults serve in a real browser, Chromium's headless
shell driven by Selenium (skipped when the shell, its driver or Selenium is
missing), over the line's store (conftest.py) plus a unit whose id is
markup. Screenshots go to DASHBOARD_SCREENSHOTS when that names a folder; a
failed check leaves one of its page in the test's folder."""
import contextlib
import os
import pathlib
import shutil
import signal
import tempfile
import time

import pytest

from conftest import HOSTILE, query_json, quote

# The headless shell: Chromium's engine without the browser's own pages and
# services, which a test has no use for (half the processor time).
CHROMIUM = "/usr/bin/chromium-headless-shell"
CHROMEDRIVER = "/usr/bin/chromedriver"


@contextlib.contextmanager
def browser(folder):
    """A session of the headless shell, its logs and disk cache in folder."""
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
