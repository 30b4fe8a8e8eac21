"""Shared helpers of the calculator's outside checks.

Draws random exercises (small integers, fractions, decimals in fractions,
multiples of pi and e in any field, bases in (0, 1), large values and shifts
that drive powers beyond the double range, and a few exercises that must be
refused: a <= 0, a = 1, b = 0, z = 0), or exercises at the double's edges,
runs them through the calculator_dump tool and reads the parameter texts as
exact sympy numbers, as the input takes them.
"""

import decimal
import json
import random
import re
import subprocess

import sympy as sp

PI = "\u03c0"
# The longest number text a line writes, its sign aside: the digits and point
# of m and, of m \cdot 10^{k}, the four characters of "·10^" and k's own
# (1.00000000000000001·10^17 has 25).
LONGEST = 24
_NUMBER_TEXT = re.compile(r"([0-9.]+)(?: \\cdot 10\^\{(-?[0-9]+)\})?")


def number_texts(line):
    """Every number text of a line with its length as a reader counts it."""
    texts = []
    for match in _NUMBER_TEXT.finditer(line):
        length = len(match.group(1)) + (4 + len(match.group(2)) if match.group(2) else 0)
        texts.append((match.group(0), length))
    return texts
DEFAULTS = {"a": "2", "b": "1", "c": "0", "d": "0", "z": "1"}


def _constant_multiple(rng, constant):
    choice = rng.randrange(5)
    if choice == 0:
        return constant
    if choice == 1:
        return "-" + constant
    if choice == 2:
        return f"{rng.randint(2, 5)}{constant}"
    if choice == 3:
        return f"{constant}/{rng.randint(2, 6)}"
    return f"{rng.choice([-3, -2, 2, 3])}{constant}/{rng.randint(2, 5)}"


def _large_text(rng):
    """Shifts and points that push a power far beyond the double range."""
    return rng.choice(["2000", "-2000", "1500", "-1100", "65536", "-65536", "999999", "-4000/3", "1234.5",
                       f"{rng.randint(700, 3000)}", f"-{rng.randint(700, 3000)}", f"1000{PI}", "-800e"])


def _signed_text(rng, nonzero, large=0.0):
    """A text for b, c, d, z or x: any sign, the grammar's usual forms."""
    while True:
        if rng.random() < large:
            return _large_text(rng)
        kind = rng.randrange(10)
        if kind <= 2:
            text = str(rng.randint(-9, 9))
        elif kind == 3:
            text = f"{rng.randint(-9, 9)}/{rng.randint(1, 9)}"
        elif kind == 4:
            text = f"{rng.randint(1, 9)}/-{rng.randint(2, 9)}"
        elif kind == 5:
            text = f"{rng.choice(['0.5', '1.5', '-2.5', '0.25', '3.75', '-0.2'])}/{rng.randint(1, 7)}"
        elif kind == 6:
            text = _constant_multiple(rng, PI)
        elif kind == 7:
            text = _constant_multiple(rng, "e")
        elif kind == 8:
            text = rng.choice(["(-3)", "2.5", "-0.75", "(4)", "-1"])
        else:
            text = rng.choice([f"1.5{PI}/2", f"-2.5e/3", f"1/{PI}", "1/e", f"0.5{PI}", "-1.25e", f"{PI}/-4"])
        if not nonzero or to_sympy(text) != 0:
            return text


def _base_text(rng):
    """A text for a: positive and not 1."""
    while True:
        kind = rng.randrange(7)
        if kind <= 1:
            text = str(rng.randint(2, 9))
        elif kind == 2:
            text = f"{rng.randint(1, 9)}/{rng.randint(1, 9)}"
        elif kind == 3:
            text = rng.choice([PI, "e", f"2{PI}", f"{PI}/2", "e/3", "2e", f"{PI}/4", f"1.5{PI}/2", f"1/{PI}", "3e/4"])
        elif kind == 4:
            text = rng.choice(["2.5", "0.5", "1.5/2", "7.5/3", "0.3", "0.99", "1.01"])
        elif kind == 5:
            text = rng.choice(["2/3", "3/4", "1/2", "7/3", "0.25", "9/10", "11/10"])
        else:
            text = rng.choice(["(3)", "10", "1/10"])
        value = to_sympy(text)
        if value > 0 and value != 1:
            return text


REFUSED = {"a": ["0", "-2", "1", "2/2", f"-{PI}", f"{PI}/{PI}", "-1/3"], "b": ["0", "0/3", "-0"], "z": ["0", "0e"]}


def draw_cases(count, seed):
    rng = random.Random(seed)
    cases = []
    for index in range(count):
        case = {"mode": index % 2, "a": _base_text(rng), "b": _signed_text(rng, True)}
        for name in ("c", "d"):
            if rng.random() < 0.2:
                case[name] = ""
            else:
                case[name] = _signed_text(rng, False, large=0.15)
        case["z"] = "" if rng.random() < 0.25 else _signed_text(rng, True)
        if rng.random() < 0.5:
            case["x"] = _signed_text(rng, False, large=0.2)
        if rng.random() < 0.04:
            name = rng.choice(sorted(REFUSED))
            case[name] = rng.choice(REFUSED[name])
        cases.append(case)
    return cases


def _digits_text(digits, exponent):
    """The decimal digits[0].digits[1:] · 10^exponent as a keypad would take
    it: plain digits, or with an exponent below 1e-10."""
    n = len(digits)
    if exponent >= n - 1:
        return digits + "0" * (exponent - (n - 1))
    if exponent >= 0:
        return digits[: exponent + 1] + "." + digits[exponent + 1:]
    if exponent >= -10:
        return "0." + "0" * (-exponent - 1) + digits
    return digits[0] + ("." + digits[1:] if n > 1 else "") + f"E{exponent}"


def _extreme_number(rng, nonzero):
    """A number of 15 to 17 significant digits (fewer now and then) from 1e-12
    to 1e25, taken as typed: at most ten decimals, or ten significant digits
    below 1e-10. Some are the shapes a teacher found wrong."""
    if rng.random() < 0.1:
        return rng.choice(["-99999999.1", "1.1", "7", "2.3", "-31533.098", "1234567890.12345", "0.00001",
                           "0.00000000001234", "-9999999999999999000000000", "100000000000000100000",
                           "9007199254740992", "-9007199254740991", "1E-12", "53", "16", "-11"])
    exponent = rng.randint(-12, 25)
    most = 10 if exponent < -10 else min(17, exponent + 11)
    # Fifteen digits a double always gives back, sixteen or seventeen it may not.
    count = rng.choice([15, 15, 15, 16, 16, 17]) if rng.random() < 0.8 else rng.randint(1, 3)
    count = max(1, min(count, most))
    digits = str(rng.randint(1, 9)) + "".join(str(rng.randint(0, 9)) for _ in range(count - 2))
    if count > 1:
        digits += str(rng.randint(1, 9))
    text = _digits_text(digits, exponent)
    if rng.random() < 0.5:
        text = "-" + text
    if nonzero and to_sympy(text) == 0:
        return "1"
    return text


def draw_extreme_cases(count, seed):
    """Exercises at the double's edges: numbers of 15 to 17 digits from 1e-12
    to 1e25 in b, c, d and x, tiny factors z, ordinary and long bases."""
    rng = random.Random(seed)
    cases = []
    for index in range(count):
        base = rng.choice(["2", "10", "3", "7", "0.5", "1.5", "2.5", "9", "1.1",
                           f"{rng.randint(2, 9)}.{rng.randint(1, 999999999):09d}1"])
        case = {"mode": index % 2, "a": base, "b": _extreme_number(rng, True) if rng.random() < 0.8 else ""}
        for name in ("c", "d"):
            case[name] = "" if rng.random() < 0.15 else _extreme_number(rng, False)
        if rng.random() < 0.4:
            # Tiny factors, taken as typed: at most ten decimals, or below 1e-10.
            factor = str(rng.randint(1, 999)).rstrip("0") or "1"
            case["z"] = f"{factor}E-{rng.choice([6, 8, 10, len(factor) + 10, len(factor) + 12])}"
        else:
            case["z"] = "" if rng.random() < 0.3 else _extreme_number(rng, True)
        if rng.random() < 0.6:
            case["x"] = _extreme_number(rng, False)
        cases.append(case)
    return cases


def typed_value(text):
    """A typed decimal as the input takes it: more than ten decimals are
    rounded at the tenth, halves away from zero; a number that this makes 0
    keeps ten significant digits."""
    number = decimal.Decimal(text)
    if -number.as_tuple().exponent <= 10:
        return number
    rounded = number.quantize(decimal.Decimal("1e-10"), rounding=decimal.ROUND_HALF_UP)
    if rounded != 0:
        return rounded
    return decimal.Context(prec=10, rounding=decimal.ROUND_HALF_UP).plus(number)


def _decimal_to_sympy(text):
    return sp.Rational(str(typed_value(text)))


def _number_to_sympy(text):
    for key, constant in ((PI, sp.pi), ("e", sp.E)):
        if text.endswith(key):
            coefficient = text[: -len(key)]
            if coefficient in ("", "-"):
                coefficient += "1"
            return _decimal_to_sympy(coefficient) * constant
    return _decimal_to_sympy(text)


def to_sympy(text):
    """The exact value of a parameter text as the grammar defines it."""
    text = text.replace("(", "").replace(")", "")
    if "/" in text:
        numerator, denominator = text.split("/")
        return _number_to_sympy(numerator) / _number_to_sympy(denominator)
    return _number_to_sympy(text)


def parameters(case):
    """The six parameters of a case as sympy numbers (x absent when not given)."""
    values = {}
    for name in ("a", "b", "c", "d", "z"):
        text = case.get(name) or DEFAULTS[name]
        values[name] = to_sympy(text)
    values["x"] = to_sympy(case["x"]) if case.get("x") else None
    return values


def run_dump(dump, cases):
    completed = subprocess.run([dump], input=json.dumps(cases), capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def step_blocks(steps):
    """Steps grouped as (title, [lines]); a titled step starts a block."""
    blocks = []
    for step in steps:
        if step["title"] or not blocks:
            blocks.append((step["title"], [step["latexString"]]))
        else:
            blocks[-1][1].append(step["latexString"])
    return blocks
