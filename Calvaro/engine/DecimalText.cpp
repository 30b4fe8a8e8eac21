#include "Calvaro/engine/DecimalText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace {

using Wide = __int128;
using DecimalText::digitCountOf;
using DecimalText::kWideDigits;
using DecimalText::magnitudeDigits;
using DecimalText::magnitudeOf;
using DecimalText::tenToThe;
// Plain decimals run from 10^{-10} to below 10^{17}.
constexpr int kDecimalTextPlainFrom = -DecimalText::kFractionDigits;
constexpr int kDecimalTextPlainBelow = 17;

// The place of the first significant digit: 10^{leading}.
int decimalTextLeading(const ExactDecimal& d) { return d.exponent + DecimalText::digitCount(d) - 1; }

// The characters of a number text as a reader counts them, its sign aside:
// digits and the point, and of m \cdot 10^{k} also the four of "·10^" and
// k's own (1.00000000000000001·10^17 has 25).
size_t decimalTextLength(const std::string& text) {
    const auto counted = [](std::string_view part) {
        return static_cast<size_t>(std::count_if(
            part.begin(), part.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; }));
    };
    std::string_view number(text);
    if (!number.empty() && number.front() == '-') number.remove_prefix(1);
    const size_t power = number.find("10^{");
    if (power == std::string_view::npos) return counted(number.substr(0, number.find(' ')));
    return counted(number.substr(0, number.find(' '))) + 4 + counted(number.substr(power + 4));
}

// The most significant digits m of m \cdot 10^{k} keeps within 24
// characters, and no more than seventeen, for a number leading at
// 10^{leading}: k is that or, where rounding carries, one more.
int decimalTextScientificDigits(int leading) {
    const auto digits = [](int exponent) {
        const int exponentLength = static_cast<int>(std::to_string(exponent).size());
        return std::min(DecimalText::kExactDigits, DecimalText::kLongestNumber - 5 - exponentLength);
    };
    return std::min(digits(leading), digits(leading + 1));
}

// d rounded once (halves away from zero) to `significant` digits, as m \cdot
// 10^{k}, fewer where its text would pass 24 characters.
std::string decimalTextRoundedScientific(const ExactDecimal& d, int significant) {
    const int leading = decimalTextLeading(d);
    significant = std::min(significant, decimalTextScientificDigits(leading));
    const int at = leading - significant + 1;
    return DecimalText::scientific(DecimalText::trimmed(DecimalText::roundedQuotient(d, {1, 0}, at)));
}

// A number that is not whole, plain, rounded once by `round` (its value
// rounded at a place 10^{at}): to ten decimals, or to seventeen significant
// digits where these come first; where ten decimals would read a whole
// number (0.99999999998765432 is no 1), to seventeen significant digits, and
// where these would too, ten decimals with their zeros. None where no
// decimal is left or the text passes 24 characters.
template <class Round>
std::optional<std::string> decimalTextRoundedPlain(Round round, int leading) {
    const int tenDecimals = std::max(-DecimalText::kFractionDigits, leading - DecimalText::kExactDigits + 1);
    if (tenDecimals >= 0) return std::nullopt;
    for (const int at : {tenDecimals, leading - DecimalText::kExactDigits + 1}) {
        const ExactDecimal rounded = DecimalText::trimmed(round(at));
        if (rounded.units == 0 || rounded.exponent >= 0) continue;
        std::string text = DecimalText::plain(rounded);
        if (decimalTextLength(text) <= static_cast<size_t>(DecimalText::kLongestNumber)) return text;
    }
    const ExactDecimal rounded = DecimalText::trimmed(round(tenDecimals));
    if (rounded.units == 0) return std::nullopt;
    return DecimalText::plain(rounded) + "." + std::string(static_cast<size_t>(-tenDecimals), '0');
}

// Whether |value| · 10^{places} lies within the error of an extended value
// of the middle between two whole numbers: its rounding there is not sure.
bool decimalTextNearTie(long double value, int places) {
    const long double scaled = std::fabs(value) * std::pow(10.0L, static_cast<long double>(places));
    const long double fraction = scaled - std::floor(scaled);
    return std::fabs(fraction - 0.5L) <= scaled * DecimalText::kPreciseError;
}

}  // namespace

namespace DecimalText {

Wide tenToThe(int n) {
    Wide power = 1;
    while (n-- > 0) power *= 10;
    return power;
}

Wide magnitudeOf(Wide units) { return units < 0 ? -units : units; }

int digitCountOf(Wide units) {
    int count = 1;
    for (Wide rest = magnitudeOf(units); rest >= 10; rest /= 10) ++count;
    return count;
}

std::string magnitudeDigits(Wide units) {
    Wide magnitude = magnitudeOf(units);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    return digits;
}

int digitCount(const ExactDecimal& d) { return digitCountOf(d.units); }

ExactDecimal trimmed(ExactDecimal d) {
    if (d.units == 0) return {};
    while (d.units % 10 == 0) {
        d.units /= 10;
        ++d.exponent;
    }
    return d;
}

std::optional<ExactDecimal> shortest(double x) {
    if (!std::isfinite(x)) return std::nullopt;
    if (x == 0) return ExactDecimal{};
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    if (written.ec != std::errc()) return std::nullopt;
    const std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
    const size_t e = text.find('e');
    if (e == std::string_view::npos) return std::nullopt;
    int exponent = 0;
    const char* first = text.data() + e + 1;
    if (*first == '+') ++first;
    if (std::from_chars(first, text.data() + text.size(), exponent).ec != std::errc()) return std::nullopt;
    Wide units = 0;
    int digitsAfterFirst = -1;
    for (const char c : text.substr(0, e)) {
        if (c < '0' || c > '9') continue;
        units = units * 10 + (c - '0');
        ++digitsAfterFirst;
    }
    return trimmed({text.front() == '-' ? -units : units, exponent - digitsAfterFirst});
}

std::optional<ExactDecimal> numeratorDecimal(const Digit& d) {
    if (d.exactZ()) return d.exactZ();
    if (!d.z()) return std::nullopt;
    return shortest(*d.z());
}

ExactDecimal roundedQuotient(const ExactDecimal& z, const ExactDecimal& n, int at) {
    if (z.units == 0 || n.units == 0) return {0, at};
    const bool negative = (z.units < 0) != (n.units < 0);
    const Wide numerator = magnitudeOf(z.units);
    const Wide denominator = magnitudeOf(n.units);
    // The quotient's digits: the whole part of numerator / denominator, whose
    // last digit stands at 10^{z.exponent - n.exponent}, then fraction digits
    // by long division; kept down to 10^{at}, the next digit rounds (halves
    // away from zero).
    const std::string whole = magnitudeDigits(numerator / denominator);
    Wide rest = numerator % denominator;
    const int shift = z.exponent - n.exponent;
    const long keep = static_cast<long>(whole.size()) + shift - at;
    std::string digits = whole;
    while (static_cast<long>(digits.size()) <= keep) {
        rest *= 10;
        digits.push_back(static_cast<char>('0' + static_cast<int>(rest / denominator)));
        rest %= denominator;
    }
    Wide units = 0;
    const Wide widest = tenToThe(kWideDigits - 1);
    for (long i = 0; i < keep; ++i) {
        if (magnitudeOf(units) >= widest) return {0, at};  // beyond every line
        units = units * 10 + (digits[static_cast<size_t>(i)] - '0');
    }
    const char next = keep >= 0 ? digits[static_cast<size_t>(keep)] : '0';
    if (next >= '5') ++units;
    return {negative ? -units : units, at};
}

std::optional<ExactDecimal> exactQuotient(const ExactDecimal& z, const ExactDecimal& n) {
    if (n.units == 0) return std::nullopt;
    if (z.units == 0) return ExactDecimal{};
    const ExactDecimal a = trimmed(z);
    const ExactDecimal b = trimmed(n);
    // A terminating quotient of b's units has no prime factor but 2 and 5
    // left in them once the common part is divided out: 38 digits of
    // a · 10^{s} then hold it whole where it exists at all.
    const int spare = kWideDigits - 1 - digitCount(a);
    if (spare < 0) return std::nullopt;
    const Wide scaled = a.units * tenToThe(spare);
    if (scaled % b.units != 0) return std::nullopt;
    return trimmed({scaled / b.units, a.exponent - spare - b.exponent});
}

std::string plain(const ExactDecimal& d) {
    if (d.units == 0) return "0";
    std::string digits = magnitudeDigits(d.units);
    if (d.exponent >= 0) {
        digits.append(static_cast<size_t>(d.exponent), '0');
    } else {
        const size_t places = static_cast<size_t>(-d.exponent);
        if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
        digits.insert(digits.size() - places, ".");
        digits.erase(digits.find_last_not_of('0') + 1);
        if (digits.back() == '.') digits.pop_back();
    }
    return (d.units < 0 ? "-" : "") + digits;
}

std::string scientific(const ExactDecimal& d) {
    if (d.units == 0) return "0";
    std::string digits = magnitudeDigits(d.units);
    const int exponent = d.exponent + static_cast<int>(digits.size()) - 1;
    digits.erase(digits.find_last_not_of('0') + 1);
    std::string mantissa = digits.substr(0, 1);
    if (digits.size() > 1) mantissa += "." + digits.substr(1);
    return (d.units < 0 ? "-" : "") + mantissa + " \\cdot 10^{" + std::to_string(exponent) + "}";
}

std::optional<std::string> exactText(const ExactDecimal& exact) {
    const ExactDecimal d = trimmed(exact);
    if (d.units == 0) return "0";
    const int leading = decimalTextLeading(d);
    const bool plainRange = leading >= kDecimalTextPlainFrom && leading < kDecimalTextPlainBelow;
    const int decimals = std::max(0, -d.exponent);
    if (decimals <= kFractionDigits || digitCount(d) <= kExactDigits) {
        if (plainRange) {
            std::string text = plain(d);
            if (decimalTextLength(text) <= static_cast<size_t>(kLongestNumber)) return text;
        }
        std::string text = scientific(d);
        if (decimalTextLength(text) <= static_cast<size_t>(kLongestNumber)) return text;
        // Past 10^{17} every digit plain where m \cdot 10^{k} would be too
        // long: 10^{17} + 1 is 100000000000000001.
        if (leading >= kDecimalTextPlainBelow) {
            text = plain(d);
            if (decimalTextLength(text) <= static_cast<size_t>(kLongestNumber)) return text;
        }
    }
    // Plain digits are read whole where they show no decimal: a whole number
    // past them reads m \cdot 10^{k}, rounded as that form is read.
    if (decimals == 0) return decimalTextRoundedScientific(d, kExactDigits);
    if (plainRange) {
        const auto round = [&d](int at) { return roundedQuotient(d, {1, 0}, at); };
        if (auto text = decimalTextRoundedPlain(round, leading)) return text;
    }
    return decimalTextRoundedScientific(d, kExactDigits);
}

std::optional<std::string> quotientText(const ExactDecimal& z, const ExactDecimal& n) {
    if (z.units == 0 || n.units == 0) return std::nullopt;
    if (const auto exact = exactQuotient(z, n)) return exactText(*exact);
    // No decimal: never whole, rounded once at the place a line writes.
    const int around = (z.exponent + digitCount(z)) - (n.exponent + digitCount(n));
    const ExactDecimal estimate = roundedQuotient(z, n, around - 22);
    if (estimate.units == 0) return std::nullopt;
    const int leading = decimalTextLeading(trimmed(estimate));
    if (leading >= kDecimalTextPlainFrom && leading < kDecimalTextPlainBelow) {
        const auto round = [&z, &n](int at) { return roundedQuotient(z, n, at); };
        if (auto text = decimalTextRoundedPlain(round, leading)) return text;
    }
    // m \cdot 10^{k} as the formatters write it: ten significant digits
    // beyond the plain decimals, all a line holds where they show no decimal.
    const bool plainRange = leading >= kDecimalTextPlainFrom && leading < kDecimalTextPlainBelow;
    const int significant =
        std::min(plainRange ? kExactDigits : kFractionDigits, decimalTextScientificDigits(leading));
    return scientific(trimmed(roundedQuotient(z, n, leading - significant + 1)));
}

bool isShortQuotient(const ExactDecimal& z, const ExactDecimal& n) {
    const auto exact = exactQuotient(z, n);
    return exact && exact->exponent >= -kFractionDigits && digitCount(*exact) <= kExactDigits;
}

std::optional<std::string> preciseText(long double precise) {
    const double value = static_cast<double>(precise);
    if (!std::isfinite(value) || value == 0 || std::fabs(value) < std::numeric_limits<double>::min()) {
        return std::nullopt;
    }
    char buffer[128];
    const int leading = static_cast<int>(std::floor(std::log10(std::fabs(precise))));
    if (leading >= kDecimalTextPlainFrom && leading < kDecimalTextPlainBelow) {
        // A digit the value's own error could turn is not written: where the
        // value lies so near the middle between two roundings that its error
        // might put it on the other side, one digit fewer, down to fifteen.
        const auto placesOf = [leading](int significant) { return std::min(kFractionDigits, significant - 1 - leading); };
        int significant = kPreciseDigits;
        while (significant > kHeldDigits && decimalTextNearTie(precise, placesOf(significant))) --significant;
        const int places = placesOf(significant);
        const auto plainAt = [precise](int decimals) {
            char digits[128];
            std::snprintf(digits, sizeof digits, "%.*Lf", decimals, precise);
            std::string text = digits;
            text.erase(text.find_last_not_of('0') + 1);
            if (text.back() == '.') text.pop_back();
            return text;
        };
        // A value not known to be whole never reads whole: where fewer than
        // ten decimals leave none it reads m \cdot 10^{k} (-7 \cdot
        // 0.75^{-119.4} is -5791395056057737.98, no -5791395056057738), and
        // where ten decimals leave none although the value lies farther from
        // the whole number than its error, it keeps seventeen significant
        // digits (100^{-3 \cdot 10^{-12}} is no 1).
        // A value within the rounding of a power or logarithm of a whole
        // number is that whole number (8^{35/3} is 2^{35}).
        const long double nearest = std::round(precise);
        const auto wholeText = [nearest] {
            char digits[64];
            std::snprintf(digits, sizeof digits, "%.0Lf", nearest);
            return std::string(digits);
        };
        // Only where the value's sure digits reach its units.
        const bool unitsSure = significant - 1 - leading >= 0;
        if (unitsSure && nearest != 0 && std::fabs(precise - nearest) <= std::fabs(precise) * kWholeWithin) {
            return wholeText();
        }
        const bool beyondError = std::fabs(precise - nearest) > std::fabs(precise) * kPreciseError * 4;
        if (places > 0) {
            std::string text = plainAt(places);
            const bool readsWhole = text.find('.') == std::string::npos;
            if (readsWhole && places == kFractionDigits && beyondError) {
                text = plainAt(kPreciseDigits - 1 - leading);
            }
            const bool shown = text.find('.') != std::string::npos || (places == kFractionDigits && !beyondError);
            // Rounded up to the next power of ten the text keeps what it shows.
            if (shown && text.find_first_of("123456789") != std::string::npos) return text;
        }
        // Plain digits that show the value is not whole, where they fit and
        // its error turns the last by one at most (log_{2}(3) +
        // 1234567890123456 is 1234567890123457.6); where none is, the whole number the value
        // lies within the error of, while every digit of it is sure (-7 \cdot
        // 0.75^{-119.4} is -5791395056057738), never m \cdot 10^{k} that
        // reads a whole number.
        if (leading >= 0) {
            const long double error = std::fabs(precise) * kPreciseError;
            for (int decimals = std::max(1, places + 1);
                 decimals + leading + 2 <= kLongestNumber && std::pow(10.0L, -decimals) >= 2 * error; ++decimals) {
                const std::string text = plainAt(decimals);
                if (text.find('.') != std::string::npos) return text;
            }
            if (unitsSure && error * 4 < 0.5L && !decimalTextNearTie(precise, 0)) return wholeText();
        }
        std::snprintf(buffer, sizeof buffer, "%.*Le", significant - 1, precise);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.9Le", precise);
    }
    const std::string text = buffer;
    const size_t exponentAt = text.find('e');
    std::string mantissa = text.substr(0, exponentAt);
    mantissa.erase(mantissa.find_last_not_of('0') + 1);
    if (mantissa.back() == '.') mantissa.pop_back();
    return mantissa + " \\cdot 10^{" + std::to_string(std::atoi(text.c_str() + exponentAt + 1)) + "}";
}

long double preciseConstant(const NaturalConstant& c) {
    if (c.latex() == "\\pi") return 3.14159265358979323846264338327950288L;
    if (c.latex() == "e") return 2.71828182845904523536028747135266250L;
    return c.value();
}

}  // namespace DecimalText
