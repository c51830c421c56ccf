#!/usr/bin/python3
"""The test command's closing report, from the JUnit reports in BUILD/results:
    summary.py BUILD
harness.xml is the schedule's own run (tests/harness): a build that failed counts as one failed
test, a suite counts the tests of its tree's report SUITE.xml, and coverage counts as one. A suite
that failed without a failing test in its report (CTest itself failed, nothing matched, a time-out)
counts one more failure. Prints the log of each build or suite that failed, the coverage of
Library/, what this host could not run, and "N passed, N failed"; exits 1 when anything failed."""

import json
import os
import sys
import xml.etree.ElementTree as ElementTree


def case_outcomes(report):
    """(passed, failed) of a report that one test wrote of its own cases (pytest's, the release
    checks'): a case with a failure or an error fails, a skipped one counts neither way."""
    passed = failed = 0
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is None:
            passed += 1
    return passed, failed


def outcomes(report):
    """(passed, failed) of a CTest JUnit report: a test skipped on purpose (SKIP_RETURN_CODE or
    SKIP_REGULAR_EXPRESSION) or disabled counts neither way; one that could not run fails. A test
    that wrote a report of its own cases (cases/TEST.xml beside the report) counts those cases, and
    one failure more when it failed with none of them failing."""
    passed = failed = 0
    cases = os.path.join(os.path.dirname(report), "cases")
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        status = case.get("status")
        skipped = case.find("skipped")
        own = os.path.join(cases, case.get("name", "") + ".xml")
        if status in ("run", "fail") and os.path.exists(own):
            p, f = case_outcomes(own)
            passed += p
            failed += f + (1 if status == "fail" and f == 0 else 0)
        elif status == "run":
            passed += 1
        elif status == "disabled" or (
                skipped is not None and skipped.get("message", "").startswith("SKIP_")):
            continue
        else:
            failed += 1
    return passed, failed


def main(build):
    results = os.path.join(build, "results")
    harness = os.path.join(results, "harness.xml")
    if not os.path.exists(harness):
        print("the schedule wrote no report (%s)" % harness)
        print("0 passed, 1 failed")
        return 1
    passed = failed = 0
    failed_logs = []
    for case in ElementTree.parse(harness).getroot().iter("testcase"):
        name, status = case.get("name"), case.get("status")
        seconds = float(case.get("time", "0"))
        report = os.path.join(results, name + ".xml")
        if name.startswith("build-"):
            counts = (0, 0 if status == "run" else 1)
        elif os.path.exists(report):
            counts = outcomes(report)
            if status != "run" and counts[1] == 0:
                counts = (counts[0], 1)
        elif status == "notrun":
            counts = (0, 0)  # its tree did not build: that build's failure is counted
        else:
            counts = (1, 0) if status == "run" else (0, 1)
        passed += counts[0]
        failed += counts[1]
        if status == "run":
            tests = "" if name.startswith("build-") else "  (%d tests)" % counts[0]
            print("%-18s passed in %4.0f s%s" % (name, seconds, tests))
        else:
            print("%-18s %s after %4.0f s  (%d passed, %d failed)" %
                  (name, "NOT RUN" if status == "notrun" else "FAILED", seconds, *counts))
            failed_logs.append(name)

    for name in failed_logs:
        log = os.path.join(results, name + ".log")
        if os.path.exists(log):
            print("\n=== %s (%s)" % (name, log))
            with open(log, errors="replace") as text:
                sys.stdout.write(text.read())

    summary = os.path.join(results, "coverage", "summary.json")
    print()
    if os.path.exists(summary):
        with open(summary) as text:
            total = json.load(text)
        print("coverage of Library/: lines %.1f %% (%d of %d), branches %.1f %% (%d of %d); %s" %
              (total["line_percent"], total["line_covered"], total["line_total"],
               total["branch_percent"], total["branch_covered"], total["branch_total"],
               os.path.join(results, "coverage", "index.html")))
    else:
        print("coverage of Library/: not measured")
    not_run = os.path.join(results, "not-run.txt")
    if os.path.exists(not_run):
        print("not run on this host, which cannot run 32-bit programs:")
        with open(not_run) as text:
            for line in text:
                print("  " + line.rstrip("\n"))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or failed_logs else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
