"""Shared pieces of the tests that drive the real tuneprobe binary from Python.

CTest passes the binary and the virtual-time library in the environment
(TUNEPROBE, VIRTUAL_TIME); the preload makes the console's sleeps return at
once, so a full automated test takes well under a second.
"""
import datetime
import functools
import json
import os
import re
import pathlib
import subprocess

import jsonschema
import pytest

TUNEPROBE = os.environ.get("TUNEPROBE", "")
VIRTUAL_TIME = os.environ.get("VIRTUAL_TIME", "")
CALL_TRACE_LIB = os.environ.get("CALL_TRACE_LIB", "")
OCP_SCHEMA_DIR = os.environ.get("OCP_SCHEMA_DIR", "")


def program_env(extra=None, virtual_time=True, trace=None):
    """The environment a run gets: virtual time unless asked otherwise, the
    call trace into the file trace when given, no inherited simulator
    settings, then the caller's entries."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("CALSIM_")}
    preload = []
    if virtual_time and VIRTUAL_TIME:
        preload.append(VIRTUAL_TIME)
    if trace is not None:
        preload.append(CALL_TRACE_LIB)
        env["CALL_TRACE"] = str(trace)
    if preload:
        env["LD_PRELOAD"] = ":".join(preload)
        # An address-sanitizer build would take the preload for a wrong link
        # order; other builds ignore the setting.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0"
    env.update(extra or {})
    return env


def run_tuneprobe(args, stdin_text="", env=None, virtual_time=True, trace=None, timeout=120):
    """Runs tuneprobe with args and stdin_text (None: standard input is
    /dev/null); returns the CompletedProcess, output as text."""
    stdin = subprocess.DEVNULL if stdin_text is None else None
    data = None if stdin_text is None else stdin_text.encode()
    return subprocess.run([TUNEPROBE, *args], input=data, stdin=stdin, capture_output=True, text=False,
                          env=program_env(env, virtual_time, trace), timeout=timeout, check=False)


def traced_calls(trace):
    """The interface calls the call-trace library saw, one string each."""
    path = pathlib.Path(trace)
    return path.read_text().splitlines() if path.exists() else []


RFC3339 = re.compile(r"^\d{4}-\d{2}-\d{2}[Tt]\d{2}:\d{2}:\d{2}(\.\d+)?([Zz]|[+-]\d{2}:\d{2})$")


def _is_rfc3339(text):
    if not isinstance(text, str):
        return True  # not a string: the schema's type check reports it
    if not RFC3339.match(text):
        return False
    datetime.datetime.fromisoformat(text.replace("z", "Z").replace("t", "T").replace("Z", "+00:00"))
    return True


def format_checker():
    """The schema's formats, with date-time checked even where jsonschema
    has no RFC 3339 parser of its own (Debian 12's 4.10)."""
    checker = jsonschema.FormatChecker()
    if "date-time" not in checker.checkers:
        checker.checks("date-time", raises=ValueError)(_is_rfc3339)
    return checker


@functools.lru_cache(maxsize=None)
def schema_validator():
    schemas = {}
    for path in pathlib.Path(OCP_SCHEMA_DIR).glob("*.json"):
        schema = json.loads(path.read_text())
        schemas[schema["$id"]] = schema
    root = schemas["https://github.com/opencomputeproject/ocp-diag-core/output"]
    checker = format_checker()
    try:
        import referencing  # jsonschema 4.18 and later
        registry = referencing.Registry().with_resources(
            (uri, referencing.Resource.from_contents(schema)) for uri, schema in schemas.items())
        return jsonschema.Draft202012Validator(root, registry=registry, format_checker=checker)
    except ImportError:
        resolver = jsonschema.RefResolver.from_schema(root, store=schemas)
        return jsonschema.Draft202012Validator(root, resolver=resolver, format_checker=checker)


# The only checks of the schema that look at values rather than shapes are
# enums (on these keys), consts (schemaVersion's numbers), minimum 0 and the
# date-time format. A line is validated once per shape, its shape keeping
# just what those checks see; a report's thousands of series elements then
# cost one validation.
ENUM_KEYS = {"type", "severity", "softwareType", "result", "status"}


def _shape(value, key=None):
    if isinstance(value, dict):
        return tuple((k, _shape(v, k)) for k, v in value.items())
    if isinstance(value, list):
        return tuple(_shape(v) for v in value)
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        if key in ("major", "minor"):
            return value
        return (type(value).__name__, value >= 0)
    if isinstance(value, str):
        if key in ENUM_KEYS:
            return value
        if key == "timestamp":
            try:
                return ("timestamp", _is_rfc3339(value))
            except ValueError:
                return ("timestamp", value)
        return "str"
    return repr(value)


_VALID_SHAPES = set()


def read_report(path):
    """The report's lines as objects, each validated against the OCP output
    schema 2.0; fails the test on the first line that does not validate."""
    validator = schema_validator()
    lines = []
    for number, text in enumerate(pathlib.Path(path).read_text().splitlines()):
        line = json.loads(text)
        shape = _shape(line)
        if shape not in _VALID_SHAPES:
            errors = sorted(validator.iter_errors(line), key=str)
            assert not errors, f"line {number} does not validate: {errors[0]}\n{text}"
            _VALID_SHAPES.add(shape)
        lines.append(line)
    assert [line["sequenceNumber"] for line in lines] == list(range(len(lines)))
    return lines


@pytest.fixture(autouse=True)
def _binary_given():
    if not TUNEPROBE or not os.access(TUNEPROBE, os.X_OK):
        pytest.fail("TUNEPROBE must name the tuneprobe binary (CTest sets it)")
