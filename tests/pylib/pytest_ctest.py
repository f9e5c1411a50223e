"""Each pytest case as a CTest test of its own, with pytest started once per
run of one or more files of a folder (pytest_test() in tests/CMakeLists.txt
wires it up).

  collect --test NAME --label LABEL [--label LABEL...] --work DIR --reporter PROGRAM FILE...
      At build time: the files' case ids (pytest --collect-only) into
      DIR/cases.txt, and DIR/cases.cmake, which CTest includes: one test
      LABEL.FILE.CASE per case (the first LABEL; FILE without .py), with
      every LABEL, that runs PROGRAM (tests/pylib/pytest_case.c) on the
      case's result file, each needing the fixture NAME. A collection that fails writes no cases and leaves
      its output for the run to show.

  run --work DIR -- FILE... [PYTEST OPTIONS]
      The test NAME, the fixture's setup: runs the files once, in this
      process, writing DIR/junit.xml, then one result file per case under
      DIR/results/ (exit status on the first line, the report after it),
      which the reporter turns into the case's outcome. It fails when the
      run did not finish (a crash, an interrupted or failed collection, a
      report missing) or a case ran that collection did not list; a case
      that failed fails as its own test, not here.
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

PASSED, FAILED, SKIPPED = 0, 1, 77  # 77: the cases' SKIP_RETURN_CODE
COLLECTION_FAILED = "# collection failed\n"


def case_id(nodeid):
    """test_x.py::TestC::test_y[p] -> test_x.TestC.test_y[p] (the parameters
    may hold "::" too)."""
    head, bracket, params = nodeid.partition("[")
    parts = head.split("::")
    return ".".join([pathlib.PurePath(parts[0]).stem, *parts[1:]]) + bracket + params


def cmake_bracket(text):
    """text as a CMake bracket argument, whatever it holds."""
    level = "="
    while f"]{level}]" in text:
        level += "="
    return f"[{level}[{text}]{level}]"


def collect(args):
    work = pathlib.Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    command = [sys.executable, *(f"-W{w}" for w in sys.warnoptions), "-m", "pytest", "--collect-only", "-q",
               "-p", "no:cacheprovider", *args.files]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    nodeids = [line.strip() for line in done.stdout.splitlines() if "::" in line and not line.startswith(" ")]
    lines = []
    if done.returncode != 0 or not nodeids:
        # The run test reports it; the build goes on.
        (work / "cases.txt").write_text(COLLECTION_FAILED + done.stdout + done.stderr)
        print(f"pytest could not collect {' '.join(args.files)}; CTest's {args.test} shows why", file=sys.stderr)
    else:
        (work / "cases.txt").write_text("".join(n + "\n" for n in nodeids))
        for number, nodeid in enumerate(nodeids):
            name = cmake_bracket(f"{args.label[0]}.{case_id(nodeid)}")
            lines.append(f"add_test({name} {cmake_bracket(args.reporter)} "
                         f"{cmake_bracket(str(work / 'results' / str(number)))})\n")
            lines.append(f"set_tests_properties({name} PROPERTIES FIXTURES_REQUIRED {cmake_bracket(args.test)} "
                         f"LABELS {cmake_bracket(';'.join(args.label))} SKIP_RETURN_CODE {SKIPPED} TIMEOUT 30)\n")
    new = "".join(lines)
    out = work / "cases.cmake"
    if not out.exists() or out.read_text() != new:
        out.write_text(new)
    else:
        os.utime(out)
    return 0


def outcome(testcase):
    """(status, report) of one <testcase> of pytest's JUnit XML."""
    problems = [child for child in testcase if child.tag in ("failure", "error")]
    if problems:
        text = []
        for problem in problems:
            text.append(f"{problem.tag}: {problem.get('message', '')}\n{problem.text or ''}")
        for stream in ("system-out", "system-err"):
            for child in testcase.iter(stream):
                if child.text:
                    text.append(f"--- {stream} ---\n{child.text}")
        return FAILED, "\n".join(text)
    skipped = testcase.find("skipped")
    if skipped is not None:
        return SKIPPED, f"skipped: {skipped.get('message', '')}"
    return PASSED, ""


def run(args):
    import pytest  # pylint: disable=import-outside-toplevel (collect needs no pytest of its own)

    work = pathlib.Path(args.work)
    results = work / "results"
    xml = work / "junit.xml"
    # Nothing from an earlier run may stand in for this one's.
    shutil.rmtree(results, ignore_errors=True)
    xml.unlink(missing_ok=True)
    listing = work / "cases.txt"
    listed = listing.read_text() if listing.exists() else None
    # Whatever the tests and their programs put in a temporary file stays
    # in the build tree, and goes with the next run.
    scratch = work / "scratch"
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir()
    os.environ["TMPDIR"] = str(scratch)

    status = pytest.main(["-q", "-p", "no:cacheprovider", f"--junitxml={xml}", f"--basetemp={work / 'tmp'}",
                          *args.pytest])
    sys.stdout.flush()
    if listed is None:
        print(f"pytest_ctest: {listing} is missing: build the tests first (cmake --build)")
        return 1
    if listed.startswith(COLLECTION_FAILED):
        print("pytest_ctest: collecting the cases at build time failed:\n" + listed[len(COLLECTION_FAILED):])
        return 1
    if status not in (pytest.ExitCode.OK, pytest.ExitCode.TESTS_FAILED) or not xml.exists():
        print(f"pytest_ctest: the run did not finish (pytest exit status {int(status)}); no case has a result")
        return 1

    nodeids = listed.splitlines()
    numbers = {case_id(n): i for i, n in enumerate(nodeids)}
    # The files are in one folder: the class name's parts before the
    # module's are that folder's.
    folder_parts = len(pathlib.PurePath(nodeids[0].partition("::")[0]).parts) - 1
    outcomes, unlisted = {}, []
    for testcase in ElementTree.parse(xml).iter("testcase"):
        classes = testcase.get("classname", "").split(".")[folder_parts:]
        key = ".".join([*classes, testcase.get("name", "")])
        code, report = outcome(testcase)
        if key not in numbers:
            unlisted.append((key, code, report))
        elif key not in outcomes or outcomes[key][0] != FAILED:  # a failure stays one
            outcomes[key] = (code, report)
    results.mkdir(parents=True)
    for key, (code, report) in outcomes.items():
        (results / str(numbers[key])).write_text(f"{code}\n{report}\n" if report else f"{code}\n")
    missing = [key for key in numbers if key not in outcomes]
    failed = sum(1 for code, _ in outcomes.values() if code == FAILED)
    print(f"pytest_ctest: {len(nodeids)} cases, {failed} failed (each reported as its own test)")
    if missing:
        print("pytest_ctest: no result for: " + ", ".join(missing))
    bad = [u for u in unlisted if u[1] == FAILED]
    for key, _, report in bad:
        print(f"pytest_ctest: {key} failed, and is not among the collected cases:\n{report}")
    return 1 if bad else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    collecting = commands.add_parser("collect")
    collecting.add_argument("--test", required=True)
    collecting.add_argument("--label", required=True, action="append")
    collecting.add_argument("--work", required=True)
    collecting.add_argument("--reporter", required=True)
    collecting.add_argument("files", nargs="+")
    running = commands.add_parser("run")
    running.add_argument("--work", required=True)
    running.add_argument("pytest", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command == "run" and args.pytest[:1] == ["--"]:
        args.pytest = args.pytest[1:]
    return collect(args) if args.command == "collect" else run(args)


if __name__ == "__main__":
    sys.exit(main())
