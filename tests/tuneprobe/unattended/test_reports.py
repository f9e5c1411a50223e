"""Unattended runs of the automated test and the other scripted tests:
the OCP report (validated against the schema), the JUnit file (parsed by
an XML parser), the exit status, and what injected faults do to them."""
import re
import subprocess
import xml.etree.ElementTree as ElementTree

from conftest import TUNEPROBE, program_env, read_report, run_tuneprobe, schema_validator

AUTOMATED = ["--interface", "local", "--run", "9.2", "--no-pause", "--load-mode", "1"]
VERDICT_LINE = re.compile(r"\b(PASS|FAIL)$")


def artifacts(lines, kind):
    """The bodies of one kind of step artifact, with their step ids."""
    return [(line["testStepArtifact"]["testStepId"], line["testStepArtifact"][kind])
            for line in lines if kind in line.get("testStepArtifact", {})]


def run_artifacts(lines, kind):
    return [line["testRunArtifact"][kind] for line in lines if kind in line.get("testRunArtifact", {})]


def console_verdicts(stdout):
    return [line for line in stdout.decode().splitlines() if VERDICT_LINE.search(line)]


def run_automated(tmp_path, extra=(), env=None):
    report, junit = tmp_path / "r.jsonl", tmp_path / "r.xml"
    result = run_tuneprobe([*AUTOMATED, *extra, "--report", str(report), "--junit", str(junit)], None, env)
    return result, read_report(report), ElementTree.parse(junit).getroot()


def test_the_validator_checks_timestamps():
    line = {"sequenceNumber": 0, "timestamp": "2026-12-08T04:50:01.123Z", "schemaVersion": {"major": 2, "minor": 0}}
    assert schema_validator().is_valid(line)
    assert not schema_validator().is_valid({**line, "timestamp": "2026-12-08 04:50"})


def test_automated_test_passes_with_one_diagnosis_per_console_verdict(tmp_path):
    result, lines, junit = run_automated(tmp_path, ["--dut-id", "U1", "--station", "line 3"])
    assert result.returncode == 0, result.stderr
    assert "schemaVersion" in lines[0]
    start = run_artifacts(lines, "testRunStart")[0]
    assert start["dutInfo"]["dutInfoId"] == "U1"
    assert re.fullmatch(r"([0-9A-F]{2}:){5}[0-9A-F]{2}", start["dutInfo"]["metadata"]["macAddress"])
    assert {s["softwareInfoId"] for s in start["dutInfo"]["softwareInfos"]} >= {"phy-firmware", "cal-api"}
    assert start["parameters"]["station"] == "line 3" and start["parameters"]["items"] == ["9.2"]

    steps = [body["name"] for _, body in artifacts(lines, "testStepStart")]
    assert steps == ["Configuration", "Rx", "Tx", "Loopback calibration", "Other commands",
                     "Device Data management", "Device Data read"]
    assert [body["status"] for _, body in artifacts(lines, "testStepEnd")] == ["COMPLETE"] * 7

    # Each console verdict, and the device's two self-checks, whose lines
    # print no verdict word.
    verdicts = console_verdicts(result.stdout)
    diagnoses = [body for _, body in artifacts(lines, "diagnosis")]
    assert len(verdicts) == 22
    assert [d["message"] for d in diagnoses if VERDICT_LINE.search(d["message"])] == verdicts
    assert [d["message"] for d in diagnoses if not VERDICT_LINE.search(d["message"])] == [
        "    Device Data checksum is  VALID", "    Calibration state = VALID"]
    assert {d["type"] for d in diagnoses} == {"PASS"}
    # Every judged value is a measurement with what it was judged against.
    measurements = [body for _, body in artifacts(lines, "measurement")]
    assert {"name": "Tx1 output power", "value": -20, "unit": "dBm",
            "validators": [{"type": "EQUAL", "value": -20}]} in measurements
    # The GPIO writes the script expects to be refused are warnings, not errors.
    refused = [log for _, log in artifacts(lines, "log") if "read-only" in log["message"]]
    assert [log["severity"] for log in refused] == ["WARNING"] * 3
    assert run_artifacts(lines, "testRunEnd") == [{"status": "COMPLETE", "result": "PASS"}]

    assert junit.get("tests") == "24" and junit.get("failures") == "0" and junit.get("errors") == "0"
    assert [suite.get("name") for suite in junit.iter("testsuite")] == steps


def test_a_value_that_was_never_read_fails_its_verdict_without_a_measurement(tmp_path):
    # The second CW offset read fails: the console shows the 0 it holds.
    result, lines, junit = run_automated(tmp_path, env={"CALSIM_FAULTS": "GetCWOffset/1:1=No answer"})
    assert result.returncode == 2
    failed = [(step, d) for step, d in artifacts(lines, "diagnosis") if d["type"] == "FAIL"]
    assert failed == [("0", {"verdict": "cw-offset-not-measured", "type": "FAIL",
                             "message": "Read:  CW offset = 0 FAIL"})]
    assert ("0", {"severity": "ERROR", "message": "No answer"}) in artifacts(lines, "log")
    # Read before, then the read-backs of 6123 and of the value put back:
    # the failed read of -5678 is no measurement.
    offsets = [m["value"] for step, m in artifacts(lines, "measurement") if m["name"] == "CW offset"]
    assert offsets == [0, 6123, 0]
    assert run_artifacts(lines, "testRunEnd") == [{"status": "ERROR", "result": "FAIL"}]
    assert [f.get("message") for f in junit.iter("failure")] == ["Read:  CW offset = 0 FAIL"]


def test_a_library_error_that_stops_a_group_is_an_error_step(tmp_path):
    result, lines, junit = run_automated(tmp_path, env={"CALSIM_FAULTS": "CalibrateTxSteps=PLL unlocked"})
    assert result.returncode == 3
    ends = {step: body["status"] for step, body in artifacts(lines, "testStepEnd")}
    assert ends["3"] == "ERROR" and list(ends.values()).count("ERROR") == 1
    assert run_artifacts(lines, "testRunEnd") == [{"status": "ERROR", "result": "NOT_APPLICABLE"}]
    errors = list(junit.iter("error"))
    assert [(e.get("type"), e.get("message")) for e in errors] == [("library error", "PLL unlocked")]


def test_device_and_library_texts_are_escaped_in_both_files(tmp_path):
    # Markup and a byte that is not UTF-8 in an error text.
    text = "bad <reg> & \"quote\" \udcff end"
    result, lines, junit = run_automated(tmp_path, env={"CALSIM_FAULTS": f"CalibrateTxSteps={text}"})
    assert result.returncode == 3
    messages = [log["message"] for _, log in artifacts(lines, "log")]
    assert "bad <reg> & \"quote\" \ufffd end" in messages
    assert [e.get("message") for e in junit.iter("error")] == ["bad <reg> & \"quote\" \ufffd end"]


def test_other_scripted_tests_are_one_step_each(tmp_path):
    report = tmp_path / "r.jsonl"
    result = run_tuneprobe(["--interface", "local", "--run", "echo-test", "--run", "9.3", "--run", "9.4",
                            "--report", str(report)], "64\n1\n200\n4\n")
    assert result.returncode == 0, result.stderr
    lines = read_report(report)
    assert [b["name"] for _, b in artifacts(lines, "testStepStart")] == [
        "Echo test", "Sleep function accuracy test", "Device Data write test"]
    sleeps = [m for step, m in artifacts(lines, "measurement") if step == "1"]
    assert [m["name"] for m in sleeps][:2] == ["Clock resolution", "Sleep of 0 ms"]
    assert all(m["unit"] == "ms" and "validators" not in m for m in sleeps)
    diagnoses = [d for _, d in artifacts(lines, "diagnosis")]
    assert diagnoses == [{"verdict": "device-data-write-errors-pass", "type": "PASS",
                          "message": "Test result: 0 verify errors out of 4 Device Data writes"}]


def test_write_errors_fail_the_device_data_write_test(tmp_path):
    report = tmp_path / "r.jsonl"
    result = run_tuneprobe(["--interface", "local", "--run", "9.4", "--report", str(report)], "1\n200\n3\n",
                           env={"CALSIM_FAULTS": "WriteDevDataBlock/1:1=Flash busy"})
    assert result.returncode == 2
    lines = read_report(report)
    assert [d["type"] for _, d in artifacts(lines, "diagnosis")] == ["FAIL"]
    assert [log["message"] for _, log in artifacts(lines, "log")] == ["Flash busy"]


def test_a_device_that_does_not_connect_exits_1_at_once_with_whole_reports(tmp_path):
    report, junit = tmp_path / "r.jsonl", tmp_path / "r.xml"
    # Standard input stays open: an unattended run must not wait for a key.
    proc = subprocess.Popen([TUNEPROBE, "--interface", "local", "--run", "9.2", "--report", str(report),
                             "--junit", str(junit)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=program_env({"CALSIM_FAULTS": "ConnectDevice=No device"}))
    try:
        assert proc.wait(timeout=30) == 1
        assert b"Press ENTER" not in proc.stdout.read()
    finally:
        proc.kill()
        proc.communicate()
    lines = read_report(report)
    reason = "The device did not connect in 10 attempts: No device"
    assert [log["message"] for log in run_artifacts(lines, "log")] == ["No device"] * 10
    assert run_artifacts(lines, "error") == [{"symptom": "start-failed", "message": reason}]
    assert run_artifacts(lines, "testRunEnd") == [{"status": "ERROR", "result": "NOT_APPLICABLE"}]
    assert run_artifacts(lines, "testRunStart")[0]["dutInfo"] == {"dutInfoId": "unknown"}
    errors = ElementTree.parse(junit).getroot().iter("error")
    assert [(e.get("type"), e.get("message")) for e in errors] == [("start-failed", reason)]


def test_minus_one_at_the_interface_question_is_no_pass(tmp_path):
    junit = tmp_path / "r.xml"
    result = run_tuneprobe(["--run", "9.2", "--junit", str(junit)], "-1\n")
    assert result.returncode == 3
    assert [e.get("type") for e in ElementTree.parse(junit).getroot().iter("error")] == ["no-interface"]


def test_input_that_ends_before_the_run_is_complete(tmp_path):
    # Without --no-pause the first pause meets the end of input.
    report, junit = tmp_path / "r.jsonl", tmp_path / "r.xml"
    result = run_tuneprobe(["--interface", "local", "--run", "9.2", "--report", str(report), "--junit", str(junit)],
                           "")
    assert result.returncode == 3
    assert result.stdout.endswith(b"\nClosing application...\n")
    lines = read_report(report)
    assert [b["status"] for _, b in artifacts(lines, "testStepEnd")] == ["COMPLETE"]
    reason = "Standard input ended before the run was complete"
    assert run_artifacts(lines, "error") == [{"symptom": "input-ended", "message": reason}]
    assert run_artifacts(lines, "testRunEnd") == [{"status": "ERROR", "result": "NOT_APPLICABLE"}]
    errors = [(e.get("type"), e.get("message")) for e in ElementTree.parse(junit).getroot().iter("error")]
    assert errors == [("input-ended", reason)]


def test_the_log_shows_the_answers_in_place(tmp_path):
    log = tmp_path / "session.log"
    result = run_tuneprobe(["--interface", "local", "--run", "1.4", "--run", "1.3", "--log", str(log)], "3 1\n")
    assert result.returncode == 0, result.stderr
    text = log.read_text()
    # The answers' line once, where the operator typed it; the rest is the
    # console's output as printed.
    assert text.replace("3 1\n", "", 1) == result.stdout.decode()
    assert "    DUT Mode        ? 3 1\n" in text


def test_the_log_keeps_an_answer_cut_by_a_read_of_the_input(tmp_path):
    # The input is read 4096 bytes at a time: "-1" straddles the first read.
    answers = "0\n1\n3\n"
    answers += " " * (4095 - len(answers)) + "-1\n-1\n"
    log = tmp_path / "session.log"
    result = run_tuneprobe(["--log", str(log)], answers)
    assert result.returncode == 0
    assert log.read_text().count("ENTER OPTION : -1\n") == 2


