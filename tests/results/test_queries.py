"""Each command of tuneresults end to end over the line's store (conftest.py),
against figures worked out by hand from the line's table; the same on
PostgreSQL when the environment names a server."""
import json
import math
import statistics

import pytest

from conftest import LINE, query_csv, query_json, report_run_id, tuneresults


def test_tuneprobe_recorded_each_run_once_and_import_adds_nothing(line):
    store, reports = line
    ids = sorted(report_run_id(r) for r in reports)
    assert sorted(row[0] for row in store.sql("SELECT run_id FROM runs")) == ids
    done = tuneresults(store.url, "import", "--json", *map(str, reports))
    assert done.returncode == 0, done.stderr
    assert {row["already_stored"] for row in json.loads(done.stdout)} == {1}
    assert len(store.sql("SELECT run_id FROM runs")) == len(LINE)
    # Each run whole: its measurements as many as its report has.
    for report in reports:
        lines = [l for l in report.read_text().splitlines() if '"measurement":' in l]
        rid = report_run_id(report)
        assert store.sql(f"SELECT COUNT(*) FROM measurements WHERE run_id = '{rid}'") == [[str(len(lines))]]


# by, then per group: units, runs, first pass, first-pass yield, final pass, final yield
YIELDS = [
    ([], {"all": (4, 5, 1, 25.0, 2, 50.0)}),
    (["--by", "station"], {"S1": (2, 2, 1, 50.0, 1, 50.0), "S2": (3, 3, 1, 33.3, 1, 33.3)}),
    (["--by", "fixture"], {"F1": (3, 3, 1, 33.3, 1, 33.3), "F2": (2, 2, 1, 50.0, 1, 50.0)}),
    (["--since", "2999-01-01"], {}),
    (["--until", "2000-01-01"], {}),
]


@pytest.mark.parametrize("options,expected", YIELDS)
def test_yield(line, options, expected):
    store, _ = line
    rows = query_json(store.url, "yield", *options)
    key = options[1] if options and options[0] == "--by" else "group"
    got = {row[key]: (row["units"], row["runs"], row["first_pass"], round(row["first_pass_yield"], 1),
                      row["final_pass"], round(row["final_yield"], 1)) for row in rows}
    assert got == expected


def test_yield_by_day_and_shift_puts_every_run_in_one_group(line):
    store, _ = line
    for by in ("day", "shift"):
        rows = query_json(store.url, "yield", "--by", by)
        assert sum(row["runs"] for row in rows) == 5 and all(row[by] for row in rows)


def test_pareto(line):
    store, _ = line
    rows = query_json(store.url, "pareto")
    got = [(r["kind"], r["name"], r["count"], r["runs"], r["share"], r["cumulative"]) for r in rows]
    assert got == [
        ("diagnosis", "cw-offset-not-measured", 1, 1, 50.0, 50.0),
        ("diagnosis", "temperature-limit-fail", 1, 1, 50.0, 100.0),
        ("measurement", "Temperature", 1, 1, 100.0, 100.0),
    ]


def test_stats(line):
    store, _ = line
    (row,) = query_json(store.url, "stats", "Temperature")
    values = [temperature for _, _, _, temperature, _, _ in LINE]
    mean, sigma = statistics.mean(values), statistics.stdev(values)
    assert (row["measurement"], row["unit"], row["count"], row["outside"]) == ("Temperature", "C", 5, 1)
    assert (row["low_limit"], row["high_limit"], row["min"], row["max"]) == (20, 60, 40, 65)
    assert math.isclose(row["mean"], mean) and math.isclose(row["std_dev"], sigma)
    assert math.isclose(row["cp"], 40 / (6 * sigma))
    assert math.isclose(row["cpk"], min(60 - mean, mean - 20) / (3 * sigma))
    # Every numeric measurement has a row; a value without limits has none.
    every = {r["measurement"]: r for r in query_json(store.url, "stats")}
    assert every["Temperature"] == row
    assert every["CINR"]["low_limit"] is None and every["CINR"]["cp"] is None


def test_history(line):
    store, reports = line
    rows = query_json(store.url, "history", "U2")
    got = [(r["attempt"], r["run_id"], r["station"], r["result"], r["status"], r["complete"], r["failed_verdicts"])
           for r in rows]
    assert got == [(1, report_run_id(reports[1]), "S1", "FAIL", "ERROR", "yes", 1),
                   (2, report_run_id(reports[2]), "S2", "PASS", "COMPLETE", "yes", 0)]
    assert rows[0]["start_time"] < rows[1]["start_time"]
    assert query_json(store.url, "history", "no-such-unit") == []


def test_failures(line):
    store, reports = line
    rows = query_json(store.url, "failures", "-n", "2")
    runs = []
    for row in rows:
        if row["run_id"] not in runs:
            runs.append(row["run_id"])
    assert runs == [report_run_id(reports[4]), report_run_id(reports[3])]  # newest first
    items = {(r["dut_id"], r["kind"], r["step"], r["detail"]) for r in rows}
    assert ("U4", "step", "Rx", "ERROR") in items
    assert ("U4", "log", "Rx", "ERROR: Busy") in items
    assert ("U3", "measurement", "Other commands", "Temperature = 65 C") in items
    assert any(unit == "U3" and kind == "diagnosis" and detail.startswith("temperature-limit-fail: ")
               for unit, kind, _, detail in items)
    assert len({r["run_id"] for r in query_json(store.url, "failures")}) == 3


COMMANDS = [["yield", "--by", "station"], ["pareto"], ["stats", "Temperature"], ["history", "U2"],
            ["failures", "-n", "3"]]


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: c[0])
def test_table_and_csv_say_what_json_says(line, command):
    store, _ = line
    rows = query_json(store.url, *command)
    table = query_csv(store.url, *command)
    assert table[0] == list(rows[0].keys())
    assert len(table) == len(rows) + 1
    for row, cells in zip(rows, table[1:]):
        for value, cell in zip(row.values(), cells):
            if value is None or isinstance(value, str):
                assert cell == (value or "")
            else:  # the text shows it rounded
                assert math.isclose(float(cell), value, abs_tol=0.05)
    plain = tuneresults(store.url, *command).stdout.splitlines()
    assert plain[0].split()[0] == table[0][0].split("_")[0].upper()
    assert len(plain) == len(rows) + 1


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: c[0])
def test_a_window_selects_the_runs_of_every_query(line, command):
    store, _ = line
    everything = query_json(store.url, *command)
    assert query_json(store.url, *command, "--since", "2000-01-01", "--until", "2999-12-31") == everything
    assert query_json(store.url, *command, "--since", "2999-01-01") == []
