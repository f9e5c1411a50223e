"""What a production line trusts: no PASS without a measurement, the exit
status that tells a reject (2) from a unit that could not be judged (3), and
the example limits file, which the simulated modem passes and each fault
fails; the report, the JUnit file and the exit status say the same thing."""
import pathlib
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import read_report, run_tuneprobe

LIMITS = pathlib.Path(__file__).resolve().parents[3] / "examples" / "automated-test-limits.toml"
AUTOMATED = ["--interface", "local", "--run", "9.2", "--no-pause", "--load-mode", "1"]
# A Device Data block written (with its checksum left as it is) before the test.
BLOCK_WRITE = (["--run", "write-dev-data-block"], "0 64 1 0 3 0 1\n")

# case, environment, items run first with their answers, exit status without
# limits and with the example limits, and a text the console or a diagnosis
# shows (with limits only when marked so).
CASES = [
    ("good unit", {}, None, 0, 0, None),
    ("calibration error", {"CALSIM_FAULTS": "CalibrateLCTrim=Loopback path open"}, None, 3, 2,
     ("lc-trim-array-not-measured", "limits")),
    ("NVM read error", {"CALSIM_FAULTS": "LoadDevData=NVM read error"}, None, 3, 3, None),
    ("checksum engine busy", {"CALSIM_FAULTS": "IsDevDataValid=Checksum engine busy"}, None, 3, 2,
     ("device-data-checksum-valid-not-measured", "limits")),
    ("register never read", {"CALSIM_FAULTS": "ReadRFICRegister/2:1=SPI timeout"}, None, 2, 2,
     ("Wrote 0x0000 to Reg 30 - Read back 0000 - FAIL", "always")),
    ("checksum not valid", {}, BLOCK_WRITE, 2, 2, ("device-data-checksum-valid-fail", "always")),
    ("temperature out of range", {"CALSIM_TEMPERATURE": "95"}, None, 0, 2,
     ("temperature-limit-fail", "limits")),
]


def run_end(lines):
    return next(line["testRunArtifact"]["testRunEnd"] for line in lines if "testRunEnd" in line.get("testRunArtifact", {}))


@pytest.mark.parametrize("limits", [False, True], ids=["verdicts", "limits"])
@pytest.mark.parametrize("case,env,first,plain,limited,shows", CASES, ids=[c[0] for c in CASES])
def test_each_fault_rejects_or_retests_and_every_file_agrees(tmp_path, case, env, first, plain, limited, shows,
                                                             limits):
    report, junit = tmp_path / "r.jsonl", tmp_path / "r.xml"
    before, answers = first or ([], "")
    arguments = [*AUTOMATED[:2], *before, *AUTOMATED[2:], "--report", str(report), "--junit", str(junit)]
    if limits:
        arguments += ["--limits", str(LIMITS)]
    result = run_tuneprobe(arguments, answers, env=env)
    expected = limited if limits else plain
    assert result.returncode == expected, result.stderr

    lines = read_report(report)
    statuses = [line["testStepArtifact"]["testStepEnd"]["status"] for line in lines
                if "testStepEnd" in line.get("testStepArtifact", {})]
    diagnoses = [line["testStepArtifact"]["diagnosis"] for line in lines if "diagnosis" in line.get("testStepArtifact", {})]
    failed = [d for d in diagnoses if d["type"] == "FAIL"]
    assert run_end(lines) == {0: {"status": "COMPLETE", "result": "PASS"},
                              2: {"status": "ERROR" if "ERROR" in statuses else "COMPLETE", "result": "FAIL"},
                              3: {"status": "ERROR", "result": "NOT_APPLICABLE"}}[expected]
    assert bool(failed) == (expected == 2)
    assert ("ERROR" in statuses) == (env.get("CALSIM_FAULTS") is not None)
    suites = ElementTree.parse(junit).getroot()
    assert int(suites.get("failures")) == len(failed)
    assert int(suites.get("errors")) == statuses.count("ERROR")
    if limits and expected == 0:
        assert sum(1 for d in diagnoses if d["verdict"].endswith("-limit-pass")) >= 20
    if shows is not None and (limits or shows[1] == "always"):
        texts = [result.stdout.decode()] + [d["verdict"] for d in failed]
        assert any(shows[0] in text for text in texts), shows


def test_a_limit_shows_in_the_measurement_it_judges(tmp_path):
    report = tmp_path / "r.jsonl"
    run_tuneprobe([*AUTOMATED, "--limits", str(LIMITS), "--report", str(report)], None,
                  env={"CALSIM_TEMPERATURE": "95"})
    lines = [line["testStepArtifact"] for line in read_report(report) if "testStepArtifact" in line]
    at = next(i for i, a in enumerate(lines) if a.get("measurement", {}).get("name") == "Temperature")
    assert lines[at]["measurement"] == {"name": "Temperature", "value": 95, "unit": "C", "validators": [
        {"type": "GREATER_THAN_OR_EQUAL", "value": 0}, {"type": "LESS_THAN_OR_EQUAL", "value": 70}]}
    assert lines[at + 1]["diagnosis"] == {"verdict": "temperature-limit-fail", "type": "FAIL",
                                          "message": "Temperature = 95 C, limit >= 0 and <= 70"}
    version = next(a["measurement"] for a in lines if a.get("measurement", {}).get("name") == "Cal API library version")
    assert version["validators"] == [{"type": "IN_SET", "value": "[\"3.5.0\"]", "metadata": {"set": ["3.5.0"]}}]
