#!/usr/bin/env python3
"""Runs the grid of school exercises through calculator_dump in both forms.

a in {2, 3, 4, 5, 10, 0.5}, b in {1, 2, -1}, c even from -10 to 10, d in
{0, 3, -45.1, 2.5, -0.75, 12.34}, z in {1, 2, -3, 0.5}, x = 2: 4,752
exercises a form; and fractional bases typed as fractions and as decimals
(1/2, 1/3, 1/4, 2/3, 3/4, 1/5, 1/10, 3/2, 5/2, 2.5/3, 0.5, 0.25, 0.75, 0.2,
0.1, 1.5, 2.5), b in {2, 6.9, -0.25, 89.92}, c in {0, 18, -7}, d in {-30,
-13, 20, 30}, z in {1, -1, 0.25}, x = 6: 2,448 more. None may be refused,
every line must hold under the strict sympy reading, and no number text may
pass 24 characters; in German every line and refusal is the same as in
English. --part K/N checks every N-th exercise from the K-th, so that a form
is checked in parts of their own. With --compare OTHER the lines of a second
dump tool are compared and the exercises whose lines differ are printed, for
reading by eye.
"""

import argparse
import itertools
import json
import subprocess
import sys

import check_calculator_sympy as checker
from calculator_cases import LONGEST, number_texts, run_dump

GRID = {"a": ["2", "3", "4", "5", "10", "0.5"], "b": ["1", "2", "-1"], "c": [str(c) for c in range(-10, 11, 2)],
        "d": ["0", "3", "-45.1", "2.5", "-0.75", "12.34"], "z": ["1", "2", "-3", "0.5"]}
FRACTIONAL_BASES = {"a": ["1/2", "1/3", "1/4", "2/3", "3/4", "1/5", "1/10", "3/2", "5/2", "2.5/3",
                          "0.5", "0.25", "0.75", "0.2", "0.1", "1.5", "2.5"],
                    "b": ["2", "6.9", "-0.25", "89.92"], "c": ["0", "18", "-7"], "d": ["-30", "-13", "20", "30"],
                    "z": ["1", "-1", "0.25"]}


def grid_cases(modes):
    cases = []
    for mode in modes:
        for grid, x in ((GRID, "2"), (FRACTIONAL_BASES, "6")):
            for a, b, c, d, z in itertools.product(*grid.values()):
                cases.append({"mode": mode, "a": a, "b": b, "c": c, "d": d, "z": z, "x": x})
    return cases


def part_of(cases, part):
    """Every N-th case from the K-th, for a part "K/N"."""
    k, n = (int(number) for number in part.split("/"))
    if not 1 <= k <= n:
        raise SystemExit(f"--part {part}: K must lie from 1 to N")
    return cases[k - 1::n]


def lines_of(result):
    return [step["latexString"] for step in result.get("solutionSteps", [])]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", required=True)
    parser.add_argument("--compare", help="a second dump tool whose lines are compared")
    parser.add_argument("--show", type=int, default=40)
    parser.add_argument("--mode", type=int, choices=(0, 1), help="one form only")
    parser.add_argument("--part", default="1/1", help="K/N: every N-th exercise from the K-th")
    arguments = parser.parse_args()
    checker.STRICT, checker.RELATIVE = True, 0

    cases = part_of(grid_cases((0, 1) if arguments.mode is None else (arguments.mode,)), arguments.part)
    results = run_dump(arguments.dump, cases)
    german = json.loads(subprocess.run([arguments.dump, "--language", "de"], input=json.dumps(cases),
                                       capture_output=True, text=True, check=True).stdout)
    failures = []
    for result in results:
        case = {k: result.get(k) for k in ("mode", "a", "b", "c", "d", "z")}
        if "errorKey" in result:
            failures.append(f"{case}: refused with {result['errorKey']} {result.get('faultyFieldIds')}")
            continue
        try:
            checker.check_case(result, failures)
        except Exception as error:  # a line the reader cannot take is a failure too
            failures.append(f"{case}: {error!r}")
        for line in lines_of(result):
            for number, length in number_texts(line):
                if length > LONGEST:
                    failures.append(f"{case}: {length} characters in {number!r} of {line!r}")
    for english, other in zip(results, german):
        if lines_of(english) != lines_of(other) or english.get("errorKey") != other.get("errorKey"):
            failures.append(f"{ {k: english.get(k) for k in ('mode', 'a', 'b', 'c', 'd', 'z')} }: German differs")
        elif other.get("solutionSteps") and other["solutionSteps"][1]["title"] == english["solutionSteps"][1]["title"]:
            failures.append("the German run wrote English titles")
            break
    changed = 0
    if arguments.compare:
        for new, old in zip(results, run_dump(arguments.compare, cases)):
            if lines_of(new) != lines_of(old) or new.get("errorKey") != old.get("errorKey"):
                changed += 1
                if changed <= arguments.show:
                    print({k: new.get(k) for k in ("mode", "a", "b", "c", "d", "z")}, old.get("errorKey"))
                    for before, after in itertools.zip_longest(lines_of(old), lines_of(new), fillvalue=""):
                        if before != after:
                            print(f"  - {before}\n  + {after}")
    for failure in failures[: arguments.show]:
        print(failure)
    print(f"{len(results)} exercises, {sum('errorKey' in r for r in results)} refused, {len(failures)} failures"
          + (f", {changed} changed" if arguments.compare else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
