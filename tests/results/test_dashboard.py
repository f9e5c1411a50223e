"""tuneresults serve over the line's store (conftest.py) plus a unit whose id
is markup: the JSON API against tuneresults' own answers, its refusals, a
run recorded while serving, and stores it cannot read (test_browser.py
looks at the pages in a browser)."""
import contextlib
import json
import sqlite3
import urllib.error
import urllib.request

import pytest

from conftest import HOSTILE, Server, query_json, quote, tuneprobe


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
