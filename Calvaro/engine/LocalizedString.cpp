#include "Calvaro/engine/LocalizedString.h"

#include "platform/foundation/Bundle.h"

// Function-local statics give the one-time, thread-safe lookup on first read.
#define CALVARO_LOCALIZED_TEXT(member, key)                                  \
    const std::string& LocalizedString::member() {                           \
        static const std::string text = foundation::localizedString(key, ""); \
        return text;                                                         \
    }

CALVARO_LOCALIZED_TEXT(fillInYourGivenNumbers, "Fill in your given numbers:")
CALVARO_LOCALIZED_TEXT(yourInput, "Your Input")
CALVARO_LOCALIZED_TEXT(expand, "Expand")
CALVARO_LOCALIZED_TEXT(modifiedInput, "Modified Input")
CALVARO_LOCALIZED_TEXT(step, "Step")
CALVARO_LOCALIZED_TEXT(recommendedVideoIfUnclear, "recommendedVideoIfUnclear")
CALVARO_LOCALIZED_TEXT(touchToUnlock, "touchToUnlock")
CALVARO_LOCALIZED_TEXT(calculateVerb, "Calculate Verb")
CALVARO_LOCALIZED_TEXT(cancel, "Cancel")
CALVARO_LOCALIZED_TEXT(rate, "Rate")
CALVARO_LOCALIZED_TEXT(send, "Send")
CALVARO_LOCALIZED_TEXT(close, "Close")
CALVARO_LOCALIZED_TEXT(thanks, "Thanks")
CALVARO_LOCALIZED_TEXT(error, "error")
CALVARO_LOCALIZED_TEXT(cancelMath, "Cancel (math)")
CALVARO_LOCALIZED_TEXT(domainOfDefinition, "Domain of definition")
CALVARO_LOCALIZED_TEXT(rangeOfValues, "Range of values")
CALVARO_LOCALIZED_TEXT(zero, "Zero")
CALVARO_LOCALIZED_TEXT(asymptote, "Asymptote")
CALVARO_LOCALIZED_TEXT(inverseFunction, "Inverse function")

#undef CALVARO_LOCALIZED_TEXT
