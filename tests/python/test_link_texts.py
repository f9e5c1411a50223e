"""The module's parse_link against tests/data/link_texts.tsv, the table the
link's rules in C++ (the console, ferryctl, the calibration link) are held
to as well; and the module's own copies of the link's numbers against the
proxy's public header, which Python cannot include."""
import pathlib
import re

import ferrylink

ROOT = pathlib.Path(__file__).resolve().parents[2]
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}


def unquote(field):
    assert len(field) >= 2 and field[0] == field[-1] == '"', field
    text, chars = "", iter(field[1:-1])
    for char in chars:
        text += ESCAPES[next(chars)] if char == "\\" else char
    return text


def read_table():
    """(line number, text, [result, parts...]) for every row."""
    rows = []
    with open(ROOT / "tests" / "data" / "link_texts.tsv", encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                quoted, *result = line.split("\t")
                rows.append((number, unquote(quoted), result))
    return rows


ROWS = read_table()


def misread(text, result):
    """What parse_link does with text against what the row says; None when
    they agree."""
    kind, *parts = result
    if kind == "ok":
        transport, where, number = parts
        expected = ferrylink.Endpoint(transport, where, int(number))
        try:
            got = ferrylink.parse_link(text)
        except ValueError as error:
            return f"refused ({error}), expected {expected}"
        return None if got == expected else f"read as {got}, expected {expected}"
    if kind not in ("bare", "error"):
        return f"unknown result {result}"
    try:
        got = ferrylink.parse_link(text)
    except ValueError as error:
        message = str(error)
        # The module has no default link: a transport alone names none.
        wanted = f"{parts[0]} alone names no" if kind == "bare" else parts[0]
        if message.startswith(f"link {text!r}: ") and "\n" not in message and wanted in message:
            return None
        return f"refused with {message!r}, expected a line with {wanted!r}"
    return f"read as {got}, expected a refusal"


def test_every_row_of_the_table_is_read_as_it_says():
    # One test for the table (a CTest test a row cost more than the rows):
    # every row that disagrees is named.
    wrong = [f"line {number} {text!r}: {problem}" for number, text, result in ROWS
             if (problem := misread(text, result))]
    assert not wrong, "\n".join(wrong)
    assert len(ROWS) > 50


def test_the_baud_rates_are_the_tables():
    # The C++ test holds the table to linkrules' list of rates, both ways.
    listed = {int(result[3]) for _, _, result in ROWS if result[:2] == ["ok", "serial"]}
    assert ferrylink.BAUD_RATES == listed


def test_the_numbers_are_the_headers():
    header = (ROOT / "proxy" / "include" / "ferrylink.h").read_text(encoding="utf-8")
    values = {name: int(value) for name, value in re.findall(r"\b(FERRYLINK_\w+)\s*=\s*(-?\d+)", header)}
    ours = {
        "FERRYLINK_DEFAULT_PORT": ferrylink.DEFAULT_PORT,
        "FERRYLINK_DEFAULT_BAUD": ferrylink.DEFAULT_BAUD,
        "FERRYLINK_MAX_REQUEST": ferrylink.MAX_REQUEST,
        "FERRYLINK_MAX_BASE_PORT": ferrylink._MAX_BASE_PORT,  # pylint: disable=protected-access
        "FERRYLINK_NOTIFY_OFFSET": ferrylink._NOTIFY_OFFSET,  # pylint: disable=protected-access
        "FERRYLINK_TEXT_MAX": ferrylink._TEXT_MAX,  # pylint: disable=protected-access
        "FERRYLINK_TEXT_SIZE": ferrylink._TEXT_SIZE,  # pylint: disable=protected-access
        "FERRYLINK_TRANSPORT_TCP": ferrylink._TRANSPORT_TCP,  # pylint: disable=protected-access
        "FERRYLINK_TRANSPORT_SERIAL": ferrylink._TRANSPORT_SERIAL,  # pylint: disable=protected-access
    }
    assert {name: values.get(name) for name in ours} == ours
