#!/usr/bin/env python3
"""Checks the calculator's mathematics against sympy.

Draws random exercises, runs them through calculator_dump and checks, for each:
the error key of an exercise that must be refused; the domain, range and
asymptote; the final answers (value at x, zero, y-intercept, inverse function)
against an exact sympy evaluation of the parameters as typed; and both sides of
every equation line of the steps, evaluated at the true values of the unknowns
(x the point, the zero or the inverse at a sample y). Lines are read with
mpmath, whose exponent range is unbounded, so powers beyond the double range
are compared too.

How a number in a step is read: it carries at most ten fraction digits, so it
brings a rendering error of half a unit of the tenth decimal along (propagated
through fractions, products and powers); m in m \\cdot 10^{k} carries ten
significant digits, so half a unit of its ninth decimal. With --strict every
number is read as exact to the digits shown: half a unit of its last place,
that is of the tenth decimal, of the fifteenth significant digit where that
comes first, or of the last digit written where a number shows more (an exact
one written in full), and no other slack; "0" stands for a true
0, or for a value the double cannot hold (below its smallest normal number,
2.2e-308): rounding residue is 0 where it is computed, and any other value,
however small, is written m \\cdot 10^{k}; "\\infty" stands for anything beyond 1e12
(a side holding it stands for what lies between its readings with 1e12 and with
infinity in its place); "NaN" stands for no real value, and a side that has
none must meet another that has none.
"""

import argparse
import re
import sys

import sympy as sp
from mpmath import mp

from calculator_cases import draw_cases, draw_extreme_cases, parameters, run_dump, step_blocks, typed_value

mp.dps = 60
sys.set_int_max_str_digits(0)
DIGITS_CAP = 2000  # beyond this many leading zeros of a^q the lines with x are not evaluated
LOG_SAMPLES = ("-2", "-1/2", "7/10", "13/10", "3")  # the y at which the logarithmic form's inverse is read
SKIPPED = []  # exercises whose zero and inverse lines were not evaluated (final answers still are)
RELATIVE = 1e-9  # slack of the ordinary reading; none with --strict
STRICT = False
EXTRA_DIGITS = 0  # working digits beyond 60: the extreme draw cancels terms of 10^{25} against 1
HELD_DIGITS = 15  # the most significant digits a line writes of a number from its double
LITERAL_ERROR = mp.mpf("5e-11")  # half a unit of the tenth fraction digit
MANTISSA_ERROR = mp.mpf("5e-10")  # half a unit of the ninth fraction digit of m in m \\cdot 10^{k}
UNDERFLOW = mp.mpf(2) ** -1022  # a written 0 is 0 or below what a double holds with all its digits
BEYOND = mp.mpf("1e12")
NAN = mp.nan
REFUSALS = {"baseNotPositive": "aTextField", "baseIsOne": "aTextField", "factorOfXIsZero": "bTextField",
            "factorIsZero": "zTextField"}


def is_nan(v):
    return v != v


def real(v):
    """An mpmath result as a real number; a complex one has no real value."""
    if isinstance(v, mp.mpc):
        return v.real if v.imag == 0 else NAN
    return v


class Value:
    """A number read from a step, with a bound on its rendering error."""

    def __init__(self, value, error=0):
        self.value = real(mp.mpf(value) if not isinstance(value, (mp.mpf, mp.mpc)) else value)
        self.error = mp.mpf(error)

    def __add__(self, other):
        return Value(self.value + other.value, self.error + other.error)

    def __sub__(self, other):
        return Value(self.value - other.value, self.error + other.error)

    def __mul__(self, other):
        if (mp.isinf(self.value) and other.value == 0) or (mp.isinf(other.value) and self.value == 0):
            return Value(NAN, mp.inf)
        error = abs(self.value) * other.error + abs(other.value) * self.error + self.error * other.error
        return Value(self.value * other.value, error)

    def __truediv__(self, other):
        if other.value == 0:
            return Value(mp.inf if self.value > 0 else -mp.inf if self.value < 0 else NAN, mp.inf)
        quotient = self.value / other.value
        denominator = abs(other.value) - other.error
        error = (self.error + abs(quotient) * other.error) / denominator if denominator > 0 else mp.inf
        return Value(quotient, error)

    def __neg__(self):
        return Value(-self.value, self.error)

    def power(self, exponent):
        base, e = self.value, exponent.value
        if is_nan(base) or is_nan(e):
            return Value(NAN, mp.inf)
        if base == 0:
            return Value(0 if e > 0 else mp.inf if e < 0 else 1, mp.inf if self.error else 0)
        if base < 0 and e != mp.floor(e):
            return Value(NAN, mp.inf)
        result = real(mp.power(base, e))
        if mp.isinf(base) or mp.isinf(e) or mp.isinf(result):
            return Value(result, 0)
        spread = abs(result) * abs(e) * self.error / abs(base)
        spread += abs(result) * abs(mp.log(abs(base))) * exponent.error
        if self.error and abs(base) - self.error <= 0:
            spread = mp.inf
        # Past a factor e the linear bound no longer holds: the digits shown
        # of the exponent (or base) leave the power open.
        if abs(mp.log(abs(base))) * exponent.error + abs(e) * self.error / abs(base) > 1:
            spread = mp.inf
        return Value(result, spread)

    def log(self, base):
        if is_nan(self.value) or is_nan(base.value) or base.value <= 0:
            return Value(NAN, mp.inf)
        if abs(self.value) < mp.mpf(10) ** (20 - mp.dps):
            # 0 but for the working precision's residue (-6·π/6 + π).
            return Value(-mp.inf if base.value > 1 else mp.inf, 0)
        if self.value <= 0 and self.value + self.error > 0:
            # The digits shown leave the argument's sign open: the side says nothing.
            return Value(0, mp.inf)
        if self.value < 0:
            return Value(NAN, mp.inf)
        if self.value == 0:
            return Value(-mp.inf if base.value > 1 else mp.inf, 0)
        numerator, denominator = mp.log(self.value), mp.log(base.value)
        if self.error >= self.value:
            return Value(numerator / denominator, mp.inf)
        # The argument's spread taken whole: the logarithm moves most towards 0.
        spread = numerator - mp.log(self.value - self.error)
        error = spread / abs(denominator) + abs(numerator) * base.error / base.value / denominator**2
        return Value(numerator / denominator, error)


TOKEN = re.compile(r"\\left\(|\\right\)|\\frac|\\log_|\\cdot|\\pi|\\infty|NaN|\d+(?:\.\d+)?|[a-zA-Z]|[-+(){}^:]|\s+")


class LatexReader:
    """Evaluates one side of a step line: numbers, \\frac, \\pi, e, \\infty,
    NaN, brackets, + - \\cdot :, juxtaposition, ^{}, \\log_{}(), f(), x and y."""

    def __init__(self, text, env, infinity=mp.inf):
        self.infinity = infinity
        self.tokens = [t for t in TOKEN.findall(text) if not t.isspace()]
        if "".join(self.tokens) != re.sub(r"\s+", "", text):
            raise ValueError(f"cannot read {text!r}")
        self.position = 0
        self.env = env

    def peek(self):
        return self.tokens[self.position] if self.position < len(self.tokens) else None

    def take(self, expected=None):
        token = self.peek()
        if token is None or (expected is not None and token != expected):
            raise ValueError(f"expected {expected!r} at {self.position} in {self.tokens}")
        self.position += 1
        return token

    def read(self):
        if not self.tokens:
            raise ValueError("empty side")
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

    def signed_factor(self):
        # "b \\cdot -7": a factor after an operator may carry its own sign.
        if self.peek() == "-":
            self.take()
            return -self.signed_factor()
        return self.factor()

    def term(self):
        value = self.factor()
        while True:
            token = self.peek()
            if token == "\\cdot":
                self.take()
                value = value * self.signed_factor()
            elif token == ":":
                self.take()
                value = value / self.signed_factor()
            elif token is not None and token not in ("+", "-", ")", "}", "\\right)"):
                value = value * self.factor()
            else:
                return value

    def factor(self):
        value = self.atom()
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

    def subnormal_error(self, mantissa):
        """Below the smallest normal double, m \\cdot 10^{k} shows only the
        digits the double holds: half a unit of m's last digit, and the
        double's own spacing, in units of 10^{k}."""
        exponent = self.tokens[self.position + 4:self.position + 7]
        if exponent[:1] != ["-"] or exponent[2:] != ["}"] or not exponent[1].isdigit():
            return 0
        scale = mp.mpf(10) ** -int(exponent[1])
        if mp.mpf(mantissa) * scale >= mp.mpf(2) ** -1022:
            return 0
        decimals = len(mantissa.split(".")[1]) if "." in mantissa else 0
        return mp.mpf(10) ** -decimals / 2 + mp.mpf(2) ** -1074 / scale

    def scale_exponent(self):
        """The k of a following "\\cdot 10^{k}", taken whole (10 and k are
        exact there); none where the tokens read otherwise."""
        ahead = self.tokens[self.position:self.position + 7]
        if len(ahead) >= 6 and ahead[:4] == ["\\cdot", "10", "^", "{"]:
            if ahead[4] == "-" and len(ahead) == 7 and ahead[5].isdigit() and ahead[6] == "}":
                self.position += 7
                return -int(ahead[5])
            if ahead[4].isdigit() and ahead[5] == "}":
                self.position += 6
                return int(ahead[4])
        return None

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
        if token == "f" and self.peek() == "(" and "f" in self.env:
            self.take("(")
            argument = self.expression()
            self.take(")")
            # f's argument is always a typed input, 0 or the unknown: exact.
            return Value(self.env["f"](argument.value))
        if token in ("(", "\\left("):
            value = self.expression()
            self.take(")" if token == "(" else "\\right)")
            return value
        if token == "{":
            value = self.expression()
            self.take("}")
            return value
        if token == "\\pi":
            return Value(mp.pi)
        if token == "e":
            return Value(mp.e)
        if token == "\\infty":
            return Value(self.infinity)
        if token == "NaN":
            return Value(NAN, mp.inf)
        if token in ("x", "y") and token in self.env:
            return Value(self.env[token])
        if re.fullmatch(r"\d+(?:\.\d+)?", token):
            if self.tokens[self.position:self.position + 3] == ["\\cdot", "10", "^"]:
                error = mantissa_error(token) + self.subnormal_error(token)
                exponent = self.scale_exponent()
                if exponent is None:
                    return Value(mp.mpf(token), error)
                scale = mp.mpf(10) ** exponent
                return Value(mp.mpf(token) * scale, error * scale)
            return Value(mp.mpf(token), UNDERFLOW if token == "0" else literal_error(token))
        raise ValueError(f"unexpected {token!r}")


def literal_error(token):
    """Half a unit of the last place a plain number stands for: the tenth
    decimal, or (strict) the fifteenth significant digit where that comes
    first, or the last digit written where the number shows more."""
    if not STRICT:
        return LITERAL_ERROR
    whole, _, fraction = token.partition(".")
    significant_whole = whole.lstrip("0")
    if significant_whole:
        leading = len(significant_whole) - 1
    else:
        leading = -(len(fraction) - len(fraction.lstrip("0")) + 1)
    places = min(10, HELD_DIGITS - 1 - leading)
    shown = len(fraction) if fraction else -(len(whole) - len(whole.rstrip("0")))
    return mp.mpf(10) ** -max(places, shown) / 2


def mantissa_error(token):
    """m of m \\cdot 10^{k}: ten significant digits, or every digit written."""
    if not STRICT:
        return MANTISSA_ERROR
    decimals = len(token.split(".")[1]) if "." in token else 0
    return mp.mpf(10) ** -max(9, decimals) / 2


def read_value(text, env=None):
    return LatexReader(text, env or {}).read()


def read_side(text, env):
    """The readings of a side: "\\infty" stands for anything beyond 1e12, so a
    side holding it is read once with it infinite and once with it at 1e12;
    what the side stands for lies between the two."""
    readings = [read_value(text, env)]
    if "\\infty" in text:
        readings.append(LatexReader(text, env, BEYOND).read())
    return readings


def sides_agree(left, right):
    """Whether two sides, each given by its readings, can stand for one number."""
    if any(agree(one, other) for one in left for other in right):
        return True
    for ranged, single in ((left, right), (right, left)):
        if len(ranged) == 2 and not any(is_nan(v.value) for v in ranged + single):
            low, high = sorted(v.value for v in ranged)
            if all(low <= v.value <= high for v in single):
                return True
    return False


def right_side(line):
    return line.split("=", 1)[1]


def beyond(v, positive):
    """Whether a read value stands beyond 1e12 with the given sign."""
    if is_nan(v.value):
        return False
    reach = abs(v.value) + (v.error if mp.isfinite(v.error) else mp.inf)
    return (v.value > 0) == positive and (mp.isinf(v.value) or reach >= BEYOND * (1 - 1e-9))


def agree(left, right):
    """Whether two sides of a line can stand for the same real number."""
    if is_nan(left.value) or is_nan(right.value):
        return is_nan(left.value) and is_nan(right.value)
    for one, other in ((left, right), (right, left)):
        if mp.isinf(one.value):
            return beyond(other, one.value > 0)
    if not (mp.isfinite(left.error) and mp.isfinite(right.error)):
        return True  # a side whose rendering error is unbounded says nothing
    # 1e-30: what the working precision leaves of a difference that is 0 at
    # the true values (far below the rendering error of any printed digit).
    allowed = left.error + right.error + RELATIVE * max(abs(left.value), abs(right.value)) + mp.mpf("1e-30")
    return abs(left.value - right.value) <= 1.01 * allowed


def close(read, truth, what, failures, case):
    """Compares a final answer read from the steps with the exact one."""
    if truth is None:  # not a real number: the steps must not show a finite one
        if mp.isfinite(read.value) and not is_nan(read.value):
            failures.append(f"{case}: {what}: read {read.value}, expected no real value")
        return
    if not agree(read, Value(truth)):
        failures.append(f"{case}: {what}: read {mp.nstr(read.value, 17)} (+-{mp.nstr(read.error, 3)}), "
                        f"expected {mp.nstr(truth, 17)}")


def to_mp(expression):
    value = sp.N(expression, mp.dps + 10)
    if value.has(sp.zoo, sp.nan, sp.oo, -sp.oo) or not value.is_real:
        return None
    return mp.mpf(str(value))


def blocks_by_title(steps):
    named = {}
    order = []
    for title, lines in step_blocks(steps):
        name = re.sub(r"^\S+ \d+    ", "", title)
        order.append((name, lines))
        named.setdefault(name, []).append(lines)
    return named, order


def without_annotation(line):
    """The equation of a line without its "\\quad |-d"-style operation note."""
    return re.split(r"\\quad ?\|", line)[0]


def check_lines(lines, env, what, failures, case):
    """Every line of a block: all sides separated by "=" agree at env."""
    for line in lines:
        if any(mark in line for mark in ("?", ">", "<", "\\mathbb", "\\color", "f_a")):
            continue
        if line in ("f(x) = 0", "f(x) = y"):
            continue  # the step's statement, true at the unknown by its definition
        sides = without_annotation(line).split("=")
        if len(sides) < 2:
            continue
        try:
            values = [read_side(side, env) for side in sides]
        except (ValueError, ZeroDivisionError) as error:
            failures.append(f"{case}: {what}: cannot read {line!r}: {error}")
            continue
        for left, right in zip(values, values[1:]):
            if not sides_agree(left, right):
                failures.append(f"{case}: {what}: {line!r} reads {mp.nstr(left[0].value, 15)} = "
                                f"{mp.nstr(right[0].value, 15)} at {({k: mp.nstr(v, 12) for k, v in env.items() if k != 'f'})}")
                break


DOUBLE_MAX = sp.Float("1.7976931348623157e308", 30)
DOUBLE_MIN_NORMAL = sp.Float("2.2250738585072014e-308", 30)
FIELDS = {"a": "aTextField", "b": "bTextField", "c": "cTextField", "d": "dTextField", "x": "xTextField",
          "z": "zTextField"}
RESULT_REFUSALS = ("resultNotHeld", "resultTooLarge", "resultTooSmall")


def held_by_double(value):
    """Whether a double gives back the decimal `value` (a sympy Rational)."""
    if value == 0:
        return True
    double = float(sp.Float(value, 40))
    if double == 0 or double in (float("inf"), float("-inf")):
        return False
    return sp.Rational(repr(double)) == value


def whole_power(base, exponent):
    """base^exponent for a whole exponent of at most 128 in magnitude; none otherwise."""
    if exponent.is_integer and abs(exponent) <= 128 and base != 0:
        return base ** int(exponent)
    return None


def exact_log(q, a):
    """The whole k with a^k = q, or none."""
    if q <= 0 or a <= 0 or a == 1:
        return None
    k = sp.Integer(round(float(sp.log(q) / sp.log(a))))
    power = whole_power(a, k)
    return k if power is not None and power == q else None


def meetings(mode, p):
    """The exact sums and products the writers form, each with the inputs it
    is made of: the results a line may have to write."""
    a, b, c, d, z, x = p["a"], p["b"], p["c"], p["d"], p["z"], p["x"]
    found = []

    def add(value, names):
        if value is not None and value.is_Rational:
            found.append((value, set(names)))

    def logarithm_value(argument, names):
        k = exact_log(argument, a)
        if k is not None:
            add(k * z, names + "az")
            add(k * z + d, names + "azd")

    if x is not None:
        add(b * x, "bx")
        add(b * x + c, "bxc")
    q = -d / z
    if mode == 0:
        g = whole_power(a, q)
        if g is not None:
            add(g - c, "adzc")
        if x is not None:
            logarithm_value(b * x + c, "bxc")
        if c > 0:
            logarithm_value(c, "c")
    else:
        for exponent, names in ((b * x + c, "bxc") if x is not None else (None, ""), (c, "c")):
            g = whole_power(a, exponent) if exponent is not None else None
            if g is not None:
                add(g, "a" + names)
                add(z * g, "az" + names)
                add(z * g + d, "azd" + names)
        k = exact_log(q, a) if q > 0 else None
        if k is not None:
            add(k - c, "adzc")
    return found


def true_refusal(result, p):
    """Whether a refusal of the draw's extreme numbers names a true cause: a
    typed number its double does not give back, or a sum or product of the
    named inputs beyond a double's digits, range or normal numbers."""
    key = result.get("errorKey")
    named = {name for name, field in FIELDS.items() if field in result.get("faultyFieldIds", [])}
    if not named:
        return False
    if key == "inputNumberNotHeld":
        texts = [result.get(name) for name in named]
        return all(text and "/" not in text and not held_by_double(sp.Rational(str(typed_value(text))))
                   for text in texts)
    if key not in RESULT_REFUSALS:
        return False
    for value, names in meetings(result["mode"], p):
        if not (names & named) or value == 0:
            continue
        if key == "resultTooLarge" and abs(value) > DOUBLE_MAX:
            return True
        if key == "resultTooSmall" and abs(value) < DOUBLE_MIN_NORMAL:
            return True
        if key == "resultNotHeld" and abs(value) <= DOUBLE_MAX and not held_by_double(value):
            return True
    return False


def check_case(result, failures, extreme=False):
    case = {k: result[k] for k in ("mode", "a", "b", "c", "d", "x", "z") if k in result}
    if extreme and result.get("errorKey") == "inputNumberNotHeld":
        if not true_refusal(result, None):
            failures.append(f"{case}: refused with inputNumberNotHeld {result.get('faultyFieldIds')}, "
                            f"but every number is held")
        return
    p = parameters(result)
    a, b, c, d, z, x = p["a"], p["b"], p["c"], p["d"], p["z"], p["x"]
    refusal = "baseNotPositive" if a <= 0 else "baseIsOne" if a == 1 else "factorOfXIsZero" if b == 0 else \
        "factorIsZero" if z == 0 else None
    if extreme and not refusal and result.get("errorKey") in RESULT_REFUSALS:
        if not true_refusal(result, p):
            failures.append(f"{case}: refused with {result['errorKey']} {result.get('faultyFieldIds')}, "
                            f"but no sum or product of those inputs is past a double")
        return
    if refusal or "errorKey" in result:
        if result.get("errorKey") != refusal or result.get("faultyFieldIds") != [REFUSALS.get(refusal)]:
            failures.append(f"{case}: refused with {result.get('errorKey')} {result.get('faultyFieldIds')}, "
                            f"expected {refusal}")
        return
    named, order = blocks_by_title(result["solutionSteps"])
    names = [name for name, _ in order]
    X = sp.Symbol("X")
    # In the logarithmic form the zero and the inverse are (a^q - c)/b with
    # q = (y - d)/z: when a^q is tiny beside c, b·x + c at the true x keeps
    # a^q only with as many digits as a^q has leading zeros.
    exponents = [-d / z] + [(sp.Rational(t) - d) / z for t in LOG_SAMPLES]
    tiny = max(0.0, *(float(sp.N(-q * sp.log(a, 10), 15)) for q in exponents)) if result["mode"] == 0 else 0
    evaluable = tiny < DIGITS_CAP
    if not evaluable:
        SKIPPED.append(case)
    mp.dps = 60 + EXTRA_DIGITS + int(min(tiny, DIGITS_CAP))
    A, B, C, D, Z = (mp.mpf(str(sp.N(v, mp.dps + 10))) for v in (a, b, c, d, z))

    if result["mode"] == 0:
        f = z * sp.log(b * X + c) / sp.log(a) + d

        def inverse_at(y):
            return (mp.power(A, to_mp((y - d) / z)) - C) / B

        zero_truth = inverse_at(0)
        intercept = to_mp(f.subs(X, 0)) if c > 0 else None

        def f_mp(u):
            argument = B * u + C
            # An argument that is 0 at the true values (b·x = -c) keeps only
            # the working precision's residue, of either sign.
            if abs(argument) <= mp.mpf(10) ** (20 - mp.dps) * (abs(B * u) + abs(C)):
                argument = mp.mpf(0)
            if is_nan(argument) or argument < 0:
                return NAN
            return Z * (mp.log(argument) / mp.log(A) if argument > 0 else -mp.inf * mp.sign(mp.log(A))) + D

        domain = named["Domain of definition"][-1][0]
        interval = re.fullmatch(r"D = \](.*), \\infty\[", domain) if b > 0 else \
            re.fullmatch(r"D = \]-\\infty, (.*)\[", domain)
        if not interval:
            failures.append(f"{case}: domain {domain!r} for b = {b}")
        else:
            close(read_value(interval.group(1)), to_mp(-c / b), "domain bound", failures, case)
        if c != 0 and b != 1:
            relation = named["Domain of definition"][0][-1]
            if not relation.startswith("x < " if b < 0 else "x > "):
                failures.append(f"{case}: domain relation {relation!r}")
        if named["Range of values"][0] != ["W = \\mathbb{R}"]:
            failures.append(f"{case}: range {named['Range of values'][0]}")
        samples = [sp.Rational(t) for t in LOG_SAMPLES]
    else:
        def f_mp(u):
            return Z * mp.power(A, B * u + C) + D

        def inverse_at(y):
            return to_mp((sp.log((y - d) / z) / sp.log(a) - c) / b)

        zero_truth = inverse_at(0) if -d / z > 0 else None
        intercept = f_mp(mp.mpf(0))

        if named["Domain of definition"][0] != ["D = \\mathbb{R}"]:
            failures.append(f"{case}: domain {named['Domain of definition'][0]}")
        range_line = named["Range of values"][0][0]
        interval = re.fullmatch(r"W = \](.*) , \\infty\[", range_line) if z > 0 else \
            re.fullmatch(r"W = \]-\\infty, (.*)\[", range_line)
        if not interval:
            failures.append(f"{case}: range {range_line!r} for z = {z}")
        else:
            close(read_value(interval.group(1)), to_mp(d), "range bound", failures, case)
        close(read_value(right_side(named["Asymptote"][0][-1])), to_mp(d), "asymptote", failures, case)
        samples = [d + z * sp.Rational(t) for t in ("1/2", "1", "2", "73/10")]

    for name in ("Expand", "Cancel (math)"):
        for lines in named.get(name, []):
            check_lines(lines, {}, name, failures, case)

    calculate_blocks = named.get("Calculate", [])
    expected_calculates = 2 if x is not None else 1
    if len(calculate_blocks) != expected_calculates:
        failures.append(f"{case}: {len(calculate_blocks)} evaluation steps in {names}")
        return
    if x is not None:
        # Powers are taken by mpmath: sympy would expand a rational base to
        # an exact rational power first, with millions of digits.
        if result["mode"] == 1:
            truth = Z * mp.power(A, to_mp(b * x + c)) + D
        else:
            truth = to_mp(f.subs(X, x)) if b * x + c > 0 else None
        close(read_value(right_side(calculate_blocks[0][-1])), truth, "value at x", failures, case)
        check_lines(calculate_blocks[0], {"x": mp.mpf(str(sp.N(x, mp.dps + 10))), "f": f_mp}, "value at x", failures, case)
    close(read_value(right_side(calculate_blocks[-1][-1])), intercept, "y-intercept", failures, case)
    check_lines(calculate_blocks[-1], {"f": f_mp}, "y-intercept", failures, case)

    close(read_value(right_side(named["Zero"][0][-1])), zero_truth, "zero", failures, case)
    if zero_truth is not None and evaluable:
        check_lines(named["Zero"][0], {"x": zero_truth, "f": f_mp}, "zero", failures, case)

    inverse_lines = named["Inverse function"][0]
    if not inverse_lines[-1].startswith("x = "):
        failures.append(f"{case}: inverse {inverse_lines[-1]!r}")
        return
    for y in samples:
        truth = inverse_at(y)
        if truth is None or is_nan(truth):
            continue
        if not evaluable:
            continue
        # The closed form itself must invert f.
        if not abs(f_mp(truth) - to_mp(y)) <= mp.mpf("1e-25") * max(1, abs(to_mp(y))):
            failures.append(f"{case}: reference inverse is wrong at y = {y}")
        check_lines(inverse_lines, {"x": truth, "y": to_mp(y), "f": f_mp}, f"inverse at y = {y}", failures, case)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", required=True)
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--show", type=int, default=40, help="how many failures to print")
    parser.add_argument("--strict", action="store_true",
                        help="every number exact to the digits shown, no relative slack")
    parser.add_argument("--extreme", action="store_true",
                        help="draw numbers of 15 to 17 digits from 1e-12 to 1e25 and tiny z; a refusal must "
                             "name a true cause")
    arguments = parser.parse_args()
    global STRICT, RELATIVE
    if arguments.strict:
        STRICT, RELATIVE = True, 0
    global EXTRA_DIGITS
    if arguments.extreme:
        EXTRA_DIGITS = 60

    draw = draw_extreme_cases if arguments.extreme else draw_cases
    cases = draw(arguments.count, arguments.seed)
    results = run_dump(arguments.dump, cases)
    failures = []
    refused = 0
    for result in results:
        refused += "errorKey" in result
        try:
            check_case(result, failures, arguments.extreme)
        except Exception as error:  # a line the reader cannot take is a failure too
            failures.append(f"{ {k: result.get(k) for k in ('mode', 'a', 'b', 'c', 'd', 'x', 'z')} }: {error!r}")
    for failure in failures[: arguments.show]:
        print(failure)
    print(f"{len(results)} exercises ({refused} refused, {len(SKIPPED)} with a^q below 1e-{DIGITS_CAP}: "
          f"zero and inverse lines not evaluated), {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
