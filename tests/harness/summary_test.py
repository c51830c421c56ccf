"""The closing count of the test command (summary.py) from JUnit reports as CTest writes them."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import summary  # noqa: E402


def case(name, status, skipped=None, failure=False):
    inner = ""
    if skipped is not None:
        inner = '<skipped message="%s"/>' % skipped
    elif failure:
        inner = '<failure message="Failed"/>'
    return '<testcase name="%s" classname="%s" time="2.0" status="%s">%s</testcase>' % (
        name, name, status, inner)


def write(path, *cases):
    path.write_text('<?xml version="1.0"?><testsuite name="x">%s</testsuite>' % "".join(cases))


@pytest.mark.parametrize("cases, expected", [
    ([case("a", "run"), case("b", "run")], (2, 0)),
    ([case("a", "run"), case("b", "fail", failure=True)], (1, 1)),
    # Skipped on purpose, or disabled: neither way.
    ([case("a", "notrun", skipped="SKIP_RETURN_CODE=77"), case("b", "disabled", skipped="Disabled")],
     (0, 0)),
    ([case("a", "notrun", skipped="SKIP_REGULAR_EXPRESSION_MATCHED")], (0, 0)),
    # Could not run: a missing program, a failed fixture.
    ([case("a", "notrun", skipped="Unable to find executable"),
      case("b", "notrun", skipped="Fixture dependency failed")], (0, 2)),
])
def test_a_report_counts(tmp_path, cases, expected):
    write(tmp_path / "r.xml", *cases)
    assert summary.outcomes(str(tmp_path / "r.xml")) == expected


@pytest.mark.parametrize("status, own, expected", [
    # A test's own report of its cases counts them, skipped ones neither way.
    ("run", ['<testcase name="a"/>', '<testcase name="b"><skipped/></testcase>',
             '<testcase name="c"/>'], (2, 0)),
    ("fail", ['<testcase name="a"/>', '<testcase name="b"><error/></testcase>'], (1, 1)),
    # Failed although none of its cases did (it ended early): one failure more.
    ("fail", ['<testcase name="a"/>'], (1, 1)),
])
def test_a_tests_own_cases_count(tmp_path, status, own, expected):
    (tmp_path / "cases").mkdir()
    (tmp_path / "cases" / "t.xml").write_text("<testsuite>%s</testsuite>" % "".join(own))
    write(tmp_path / "r.xml", case("t", status, failure=status == "fail"))
    assert summary.outcomes(str(tmp_path / "r.xml")) == expected


@pytest.mark.parametrize("harness, reports, closing, status", [
    # A passing build counts nothing; each suite counts its report's tests; coverage counts one.
    ([case("build-linux", "run"), case("linux", "run"), case("coverage", "run")],
     {"linux": [case("t1", "run"), case("t2", "run")]}, "3 passed, 0 failed", 0),
    # A failed build counts one and the suites that needed it are not counted.
    ([case("build-linux", "fail", failure=True),
      case("linux", "notrun", skipped="Fixture dependency failed")], {}, "0 passed, 1 failed", 1),
    # A suite that failed with every test of its report passing (a time-out, nothing selected).
    ([case("linux", "fail", failure=True)], {"linux": [case("t1", "run")]}, "1 passed, 1 failed",
     1),
    # A suite with failures counts them, not one more.
    ([case("linux", "fail", failure=True)],
     {"linux": [case("t1", "fail", failure=True), case("t2", "fail", failure=True)]},
     "0 passed, 2 failed", 1),
])
def test_the_closing_line(tmp_path, capsys, harness, reports, closing, status):
    results = tmp_path / "results"
    results.mkdir()
    write(results / "harness.xml", *harness)
    for name, cases in reports.items():
        write(results / (name + ".xml"), *cases)
        (results / (name + ".log")).write_text("the %s suite's output\n" % name)
    assert summary.main(str(tmp_path)) == status
    out = capsys.readouterr().out
    assert out.splitlines()[-1] == closing
    assert ("the linux suite's output" in out) == (status == 1 and "linux" in reports)


def test_no_schedule_report_is_a_failure(tmp_path, capsys):
    (tmp_path / "results").mkdir()
    assert summary.main(str(tmp_path)) == 1
    assert capsys.readouterr().out.splitlines()[-1] == "0 passed, 1 failed"
