#include "analytics/support/MSRDecimalNumber.h"

#include <cstdlib>

std::optional<MSRDecimalNumber> MSRDecimalNumber::fromString(std::string_view text,
                                                             bool* lostDigits) {
    if (lostDigits) *lostDigits = false;
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    std::string digits;
    long long exponent = 0;
    bool seenPoint = false;
    bool seenDigit = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.' && !seenPoint) {
            seenPoint = true;
        } else if (c >= '0' && c <= '9') {
            seenDigit = true;
            if (c == '0' && digits.empty()) {
                if (seenPoint) --exponent;  // a leading zero after the point
                continue;
            }
            digits.push_back(c);
            if (seenPoint) --exponent;
        } else {
            return std::nullopt;
        }
    }
    if (!seenDigit) return std::nullopt;

    if (digits.size() > static_cast<size_t>(kMaxSignificantDigits)) {
        const size_t dropped = digits.size() - kMaxSignificantDigits;
        if (lostDigits && digits.find_first_not_of('0', kMaxSignificantDigits) != std::string::npos) {
            *lostDigits = true;
        }
        digits.resize(kMaxSignificantDigits);
        exponent += static_cast<long long>(dropped);
    }
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }

    MSRDecimalNumber number;
    if (digits.empty()) return number;  // zero, whatever its sign
    if (exponent < kMinExponent || exponent > kMaxExponent) return std::nullopt;
    number.negative_ = negative;
    number.digits_ = std::move(digits);
    number.exponent_ = static_cast<int>(exponent);
    return number;
}

MSRDecimalNumber MSRDecimalNumber::negated() const {
    MSRDecimalNumber copy = *this;
    if (!isZero()) copy.negative_ = !negative_;
    return copy;
}

int MSRDecimalNumber::compare(const MSRDecimalNumber& other) const {
    const bool aNeg = isNegative();
    const bool bNeg = other.isNegative();
    if (isZero() && other.isZero()) return 0;
    if (aNeg != bNeg) return aNeg ? -1 : 1;
    if (isZero()) return bNeg ? 1 : -1;
    if (other.isZero()) return aNeg ? -1 : 1;

    // Both of one sign: compare magnitudes, first by the position of the
    // leading digit, then digit by digit.
    int magnitude = 0;
    const long long aTop = static_cast<long long>(digits_.size()) + exponent_;
    const long long bTop = static_cast<long long>(other.digits_.size()) + other.exponent_;
    if (aTop != bTop) {
        magnitude = aTop < bTop ? -1 : 1;
    } else {
        const size_t n = std::max(digits_.size(), other.digits_.size());
        for (size_t k = 0; k < n && magnitude == 0; ++k) {
            char a = k < digits_.size() ? digits_[k] : '0';
            char b = k < other.digits_.size() ? other.digits_[k] : '0';
            if (a != b) magnitude = a < b ? -1 : 1;
        }
    }
    return aNeg ? -magnitude : magnitude;
}

std::string MSRDecimalNumber::description() const {
    if (isZero()) return "0";
    std::string text = negative_ ? "-" : "";
    const long long pointAt = static_cast<long long>(digits_.size()) + exponent_;
    if (exponent_ >= 0) {
        text += digits_;
        text.append(static_cast<size_t>(exponent_), '0');
    } else if (pointAt > 0) {
        text += digits_.substr(0, static_cast<size_t>(pointAt));
        text += '.';
        text += digits_.substr(static_cast<size_t>(pointAt));
    } else {
        text += "0.";
        text.append(static_cast<size_t>(-pointAt), '0');
        text += digits_;
    }
    return text;
}

double MSRDecimalNumber::doubleValue() const {
    if (isZero()) return 0.0;
    std::string text = (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
    return std::strtod(text.c_str(), nullptr);
}
