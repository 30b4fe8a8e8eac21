#!/usr/bin/env python3
"""Parses every LaTeX string of the calculator's solutions with KaTeX.

Runs the random exercises of the sympy check through calculator_dump and reads
the golden files, then hands every step line and formula to KaTeX (Debian's
katex package, through node) with throwOnError set.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys

from calculator_cases import draw_cases, run_dump


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", required=True)
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--golden", help="folder of the calculator's golden files")
    arguments = parser.parse_args()

    strings = []
    for result in run_dump(arguments.dump, draw_cases(arguments.count, arguments.seed)):
        if "formulaLatex" in result:
            strings.append(result["formulaLatex"])
        strings.extend(step["latexString"] for step in result.get("solutionSteps", []))
    golden_count = 0
    if arguments.golden:
        for path in sorted(pathlib.Path(arguments.golden).glob("calculator_*.txt")):
            golden_count += 1
            for line in path.read_text(encoding="utf-8").splitlines():
                if line.startswith("latex: "):
                    strings.append(line[len("latex: "):])
        if golden_count == 0:
            print(f"no golden files in {arguments.golden}")
            return 1
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "katex_parse.js")
    completed = subprocess.run(["node", script], input=json.dumps(strings), text=True)
    return completed.returncode


if __name__ == "__main__":
    sys.exit(main())
