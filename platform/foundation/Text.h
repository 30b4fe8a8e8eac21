#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace foundation {

// The shortest decimal text that reads back to the same double, always with a
// fraction part or an exponent: "2.0", "0.30000000000000004", "1e-05", "1e+16".
// Plain digits are used from 1e-4 up to 2^53, exponent form outside; "nan",
// "inf" and "-inf" for the special values.
std::string shortestDoubleText(double value);

// `value` as the platform's decimal number formatter writes it in the "en_US"
// locale: between `minimumFractionDigits` and `maximumFractionDigits` fraction
// digits, halves rounded to even (on the shortest decimal form, as the
// platform does, so 2.675 gives 2.68), groups of three separated by "," only
// when `grouping` is set.
std::string formatDecimal(double value, int minimumFractionDigits, int maximumFractionDigits,
                          bool grouping = false);

// `text` fit for a terminal: control characters, C1 controls and bytes that
// are not UTF-8 are written as escapes (\n, \t, \x1b, \u{9b}), the backslash
// as "\\"; other UTF-8 text stays as it is. Text from outside (a server's
// program, a link) cannot then move the cursor, clear the screen or set the
// terminal's title.
std::string printable(std::string_view text);

// `text` without its control characters (C0, DEL and C1, NUL included) and
// without bytes that are not UTF-8.
std::string withoutControlCharacters(std::string_view text);

// Whether `text` is UTF-8 throughout: no byte outside a sequence, no
// overlong form, no surrogate.
bool isUtf8(std::string_view text);

// Appends the code point `code` to `text` in UTF-8 (one to four bytes).
void appendUtf8(std::string& text, uint32_t code);

// printf-style formatting into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string stringWithFormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace foundation
