#!/usr/bin/env python3
"""Checks the calculator's mathematics against sympy.

Draws random valid exercises, runs them through calculator_dump, reads domain,
range, asymptote, value at x, zero, y-intercept and the inverse function back
out of the LaTeX steps, and compares each with an exact sympy evaluation of the
parameters as typed. Numbers in the steps carry at most ten fraction digits, so
each number read from a step brings its rendering error along (half a unit of
the tenth decimal, propagated through fractions and products); the comparison
allows that plus a relative 1e-9.
"""

import argparse
import math
import re
import sys

import sympy as sp

from calculator_cases import draw_cases, parameters, run_dump, step_blocks

RELATIVE = 1e-9
LITERAL_ERROR = 5e-11  # half a unit of the tenth fraction digit


class Value:
    """A number read from a step, with a bound on its rendering error."""

    def __init__(self, value, error=0.0):
        self.value = value
        self.error = error

    def __add__(self, other):
        return Value(self.value + other.value, self.error + other.error)

    def __sub__(self, other):
        return Value(self.value - other.value, self.error + other.error)

    def __mul__(self, other):
        return Value(self.value * other.value,
                     abs(self.value) * other.error + abs(other.value) * self.error + self.error * other.error)

    def __truediv__(self, other):
        if other.value == 0:
            return Value(math.copysign(math.inf, self.value) if self.value else math.nan, math.inf)
        quotient = self.value / other.value
        return Value(quotient, (self.error + abs(quotient) * other.error) / max(abs(other.value) - other.error, 1e-300))

    def __neg__(self):
        return Value(-self.value, self.error)

    def power(self, exponent):
        try:
            result = self.value ** exponent.value
        except (OverflowError, ZeroDivisionError):
            return Value(math.inf, math.inf)
        if isinstance(result, complex):
            return Value(math.nan, math.inf)
        spread = abs(result) * (abs(exponent.value) * self.error / abs(self.value) if self.value else 0.0)
        spread += abs(result) * abs(math.log(abs(self.value))) * exponent.error if self.value else 0.0
        return Value(result, spread)

    def log(self, base):
        if self.value <= 0 or base.value <= 0:
            return Value(math.nan, math.inf)
        numerator, denominator = math.log(self.value), math.log(base.value)
        error = self.error / self.value / abs(denominator) + abs(numerator) * base.error / base.value / denominator**2
        return Value(numerator / denominator, error)


TOKEN = re.compile(r"\\left\(|\\right\)|\\frac|\\log_|\\cdot|\\pi|\\infty|NaN|\d+(?:\.\d+)?|[a-zA-Z]|[-+(){}^]|\s+")


class LatexReader:
    """Evaluates the LaTeX of one step line: numbers, \\frac, \\pi, e, \\infty,
    NaN, brackets, + - \\cdot, juxtaposition, ^{}, \\log_{}() and the variable y."""

    def __init__(self, text, y=None):
        self.tokens = [t for t in TOKEN.findall(text) if not t.isspace()]
        if "".join(self.tokens) != re.sub(r"\s+", "", text):
            raise ValueError(f"cannot read {text!r}")
        self.position = 0
        self.y = y

    def peek(self):
        return self.tokens[self.position] if self.position < len(self.tokens) else None

    def take(self, expected=None):
        token = self.peek()
        if token is None or (expected is not None and token != expected):
            raise ValueError(f"expected {expected!r} at {self.position} in {self.tokens}")
        self.position += 1
        return token

    def read(self):
        value = self.expression()
        if self.peek() is not None:
            raise ValueError(f"left over {self.tokens[self.position:]}")
        return value

    def expression(self):
        value = self.signed_term()
        while self.peek() in ("+", "-"):
            operator = self.take()
            right = self.signed_term()
            value = value + right if operator == "+" else value - right
        return value

    def signed_term(self):
        if self.peek() == "-":
            self.take()
            return -self.signed_term()
        if self.peek() == "+":
            self.take()
            return self.signed_term()
        return self.term()

    def term(self):
        value = self.factor()
        while True:
            token = self.peek()
            if token == "\\cdot":
                self.take()
                value = value * self.factor()
            elif token is not None and token not in ("+", "-", ")", "}", "\\right)"):
                value = value * self.factor()
            else:
                return value

    def factor(self):
        value = self.atom()
        # The steps write a number and its constant as one number: "2e^{x}"
        # raises 2e, as the base a = 2e stands in front of its exponent.
        if self.tokens[self.position - 1][0].isdigit() and self.peek() in ("\\pi", "e"):
            value = value * self.atom()
        if self.peek() == "^":
            self.take()
            self.take("{")
            exponent = self.expression()
            self.take("}")
            value = value.power(exponent)
        return value

    def group(self):
        self.take("{")
        value = self.expression()
        self.take("}")
        return value

    def atom(self):
        token = self.take()
        if token == "\\frac":
            numerator = self.group()
            return numerator / self.group()
        if token == "\\log_":
            base = self.group()
            self.take("(")
            argument = self.expression()
            self.take(")")
            return argument.log(base)
        if token in ("(", "\\left("):
            value = self.expression()
            self.take(")" if token == "(" else "\\right)")
            return value
        if token == "{":
            value = self.expression()
            self.take("}")
            return value
        if token == "\\pi":
            return Value(math.pi)
        if token == "e":
            return Value(math.e)
        if token == "\\infty":
            return Value(math.inf)
        if token == "NaN":
            return Value(math.nan)
        if token == "y" and self.y is not None:
            return Value(self.y)
        if re.fullmatch(r"\d+(?:\.\d+)?", token):
            return Value(float(token), 2 * LITERAL_ERROR if token == "0" else LITERAL_ERROR)
        raise ValueError(f"unexpected {token!r}")


def read_value(text, y=None):
    return LatexReader(text, y).read()


def right_side(line):
    return line.split("=", 1)[1]


def check_bound(text, pattern, expected, what, unreadable, failures, case):
    """The open end of the interval `text` (matched by `pattern`) must be `expected`."""
    interval = re.fullmatch(pattern, text)
    if not interval:
        failures.append(f"{case}: {unreadable}")
    else:
        close(read_value(interval.group(1)), sp.N(expected, 40), what, failures, case)


def close(read, truth, what, failures, case):
    """Compares a value read from the steps with the exact one."""
    if truth is None:  # not a real number: the steps must not show a finite one
        if math.isfinite(read.value):
            failures.append(f"{case}: {what}: read {read.value}, expected no real value")
        return
    truth = float(truth)
    if abs(truth) > 1e12 or math.isinf(read.value):
        if not (math.isinf(read.value) and abs(truth) > 1e12 and (read.value > 0) == (truth > 0)):
            failures.append(f"{case}: {what}: read {read.value}, expected {truth}")
        return
    allowed = RELATIVE * abs(truth) + 1.01 * read.error + 1e-300
    if not abs(read.value - truth) <= allowed:
        failures.append(f"{case}: {what}: read {read.value!r} (+-{read.error:.3g}), expected {truth!r}")


def real_or_none(expression, digits=40):
    value = sp.N(expression, digits)
    if value.has(sp.zoo, sp.nan) or not value.is_real:
        return None
    return value


def blocks_by_title(steps):
    named = {}
    order = []
    for title, lines in step_blocks(steps):
        name = re.sub(r"^\S+ \d+    ", "", title)
        order.append((name, lines))
        named.setdefault(name, []).append(lines)
    return named, order


def check_case(result, failures):
    case = {k: result[k] for k in ("mode", "a", "b", "c", "d", "x", "z") if k in result}
    if "errorKey" in result:
        failures.append(f"{case}: refused with {result['errorKey']}")
        return
    p = parameters(result)
    a, b, c, d, z, x = p["a"], p["b"], p["c"], p["d"], p["z"], p["x"]
    named, order = blocks_by_title(result["solutionSteps"])
    names = [name for name, _ in order]
    X, Y = sp.symbols("X Y")

    if result["mode"] == 0:
        f = z * sp.log(b * X + c) / sp.log(a) + d
        inverse = (a ** ((Y - d) / z) - c) / b
        zero = (a ** (-d / z) - c) / b
        intercept = real_or_none(f.subs(X, 0)) if c > 0 else None
        bound = -c / b
        domain = named["Domain of definition"][-1][0]
        check_bound(domain, r"D = \](.*), \\infty\[" if b > 0 else r"D = \]-\\infty, (.*)\[", bound,
                    "domain bound", f"domain {domain!r} for b = {b}", failures, case)
        if c != 0 and b != 1:
            relation = named["Domain of definition"][0][-1]
            expected = "x < " if b < 0 else "x > "
            if not relation.startswith(expected):
                failures.append(f"{case}: domain relation {relation!r}")
        if named["Range of values"][0] != ["W = \\mathbb{R}"]:
            failures.append(f"{case}: range {named['Range of values'][0]}")
        samples = [-2.0, -0.5, 0.7, 1.3, 3.0]
    else:
        f = z * a ** (b * X + c) + d
        inverse = (sp.log((Y - d) / z) / sp.log(a) - c) / b
        zero = (sp.log(-d / z) / sp.log(a) - c) / b if -d / z > 0 else None
        intercept = real_or_none(f.subs(X, 0))
        if named["Domain of definition"][0] != ["D = \\mathbb{R}"]:
            failures.append(f"{case}: domain {named['Domain of definition'][0]}")
        range_line = named["Range of values"][0][0]
        check_bound(range_line, r"W = \](.*) , \\infty\[" if z > 0 else r"W = \]-\\infty, (.*)\[", d,
                    "range bound", f"range {range_line!r} for z = {z}", failures, case)
        close(read_value(right_side(named["Asymptote"][0][-1])), sp.N(d, 40), "asymptote", failures, case)
        samples = [float(sp.N(d + z * t)) for t in (0.5, 1, 2, 7.3)]

    calculate_blocks = named.get("Calculate", [])
    expected_calculates = 2 if x is not None else 1
    if len(calculate_blocks) != expected_calculates:
        failures.append(f"{case}: {len(calculate_blocks)} evaluation steps in {names}")
        return
    if x is not None:
        inside = result["mode"] == 1 or b * x + c > 0
        truth = real_or_none(f.subs(X, x)) if inside else None
        close(read_value(right_side(calculate_blocks[0][-1])), truth, "value at x", failures, case)
    close(read_value(right_side(calculate_blocks[-1][-1])), intercept, "y-intercept", failures, case)
    close(read_value(right_side(named["Zero"][0][-1])), real_or_none(zero) if zero is not None else None, "zero",
          failures, case)

    inverse_line = named["Inverse function"][0][-1]
    if not inverse_line.startswith("x = "):
        failures.append(f"{case}: inverse {inverse_line!r}")
        return
    for y in samples:
        exact_y = sp.Rational(repr(y))
        if result["mode"] == 0 and abs(float(sp.N((exact_y - d) / z * sp.log(a)))) > 60:
            continue  # a^((y-d)/z) vanishes beside c: x no longer depends on y in any precision
        truth = real_or_none(inverse.subs(Y, exact_y), 120)
        if truth is None or abs(truth) > 1e12:
            continue
        # The closed form itself must invert f.
        if abs(sp.N(f.subs(X, truth), 120) - exact_y) > 1e-25 * max(1, abs(y)):
            failures.append(f"{case}: reference inverse is wrong at y = {y}")
        read = read_value(right_side(inverse_line), y)
        if not abs(read.value - float(truth)) <= RELATIVE * abs(float(truth)) + 1e-12:
            failures.append(f"{case}: inverse at y = {y}: read {read.value!r}, expected {float(truth)!r}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", required=True)
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--seed", type=int, default=20261206)
    arguments = parser.parse_args()

    cases = draw_cases(arguments.count, arguments.seed)
    results = run_dump(arguments.dump, cases)
    failures = []
    for result in results:
        try:
            check_case(result, failures)
        except Exception as error:  # a line the reader cannot take is a failure too
            failures.append(f"{ {k: result.get(k) for k in ('mode', 'a', 'b', 'c', 'd', 'x', 'z')} }: {error!r}")
    for failure in failures[:40]:
        print(failure)
    print(f"{len(results)} exercises, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
