#include "analytics/reporters/MSRScreen.h"

#include "analytics/core/MSRMeasurement.h"
#include "analytics/model/MSRDataTypeValidator.h"

namespace {

bool isValid(const std::optional<std::string>& text) {
    int64_t failure = 0;
    return text && MSRDataTypeValidator::isValidScreenParameterValue(*text, &failure);
}

}  // namespace

MSRParameters MSRScreenEventParameters(const MSRScreen& screen) {
    MSRParameters parameters{{"_si", MSRValue(screen.instanceID)}};
    if (screen.className) {
        int64_t failure = 0;
        if (screen.className->empty()) {
            MSRMeasurement::monitor()->logWithLevel(3, 31014, "Screen class name is empty");
            return parameters;
        }
        if (!MSRDataTypeValidator::isValidScreenParameterValue(*screen.className, &failure)) {
            // As text: GCC's sanitizer build misreads a number built into the context here.
            MSRMeasurement::monitor()->logWithLevel(3, 31015, "Screen class name is invalid. Error code",
                                                    {std::to_string(failure)});
            return parameters;
        }
        parameters.emplace("_sc", MSRValue(*screen.className));
    }
    if (isValid(screen.name)) parameters.emplace("_sn", MSRValue(*screen.name));
    return parameters;
}

MSRParameters MSRPreviousScreenEventParameters(const MSRScreen& screen) {
    MSRParameters parameters{{"_pi", MSRValue(screen.instanceID)}};
    if (isValid(screen.className)) parameters.emplace("_pc", MSRValue(*screen.className));
    if (isValid(screen.name)) parameters.emplace("_pn", MSRValue(*screen.name));
    return parameters;
}
