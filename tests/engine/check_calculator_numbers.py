#!/usr/bin/env python3
"""Checks how long the numbers of the calculator's solutions are written.

Runs random exercises of the sympy check's generator through calculator_dump
and measures every number text of every step line and formula: a run of
digits and decimal points. Ten fraction digits are the steps' precision and a
double holds seventeen significant digits, so no such text is longer than 24
characters (of m \\cdot 10^{k} counted with "·10^" and k); anything
longer is written m \\cdot 10^{k} with as many digits as fit. Rounding
residue (4.4e-16 for 3 - 3) and zeros padded after the seventeenth digit are
what this catches.
"""

import argparse
import json
import sys

from calculator_cases import LONGEST, draw_cases, draw_extreme_cases, number_texts, run_dump


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", required=True)
    parser.add_argument("--count", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--show", type=int, default=20, help="how many failures to print")
    parser.add_argument("--extreme", action="store_true", help="the sympy check's draw at the double's edges")
    arguments = parser.parse_args()

    cases = (draw_extreme_cases if arguments.extreme else draw_cases)(arguments.count, arguments.seed)
    failures = []
    longest = 0
    for case, result in zip(cases, run_dump(arguments.dump, cases)):
        lines = [step["latexString"] for step in result.get("solutionSteps", [])]
        if "formulaLatex" in result:
            lines.append(result["formulaLatex"])
        for line in lines:
            for _, length in number_texts(line):
                longest = max(longest, length)
                if length > LONGEST:
                    failures.append(f"{json.dumps(case, ensure_ascii=False)}: {length} characters in {line!r}")
    for failure in failures[: arguments.show]:
        print(failure[:400])
    print(f"{len(cases)} exercises, longest number text {longest} characters, {len(failures)} longer than {LONGEST}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
