#include "Calvaro/services/CalculationType.h"

#include <array>

#include "platform/foundation/Bundle.h"

namespace {

// One code per type, in type order; every code names exactly one application.
constexpr std::array<const char*, kCalculationTypeCount> kAppCodes = {
    "LIN",  "QUA",  "CUB",  "POLD", "RAT",  "TRI",  "UNC", "RTR", "GTR", "CIR", "REC", "SQU",
    "TRA",  "PAR",  "RHO",  "CBD",  "CYL",  "CON",  "PYR", "SPH", "PRI", "PCT", "CLV", "EXG",
    "INT",  "FRC",  "LSY",  "MTX",  "VEC",  "BIN",  "NOR", "PTR", "STA", "UCV",
};

constexpr std::array<const char*, 11> kSupportedLanguages = {"de", "zh", "ja", "en", "es", "ko",
                                                             "pt", "ru", "fr", "id", "hi"};

}  // namespace

std::string appCode(CalculationType type) {
    const int index = static_cast<int>(type);
    if (index < 0 || index >= kCalculationTypeCount) return "";
    return kAppCodes[static_cast<size_t>(index)];
}

std::string supportedLanguage() {
    const std::string language = foundation::Bundle::preferredLanguage();
    for (const char* code : kSupportedLanguages)
        if (language == code) return language;
    return "en";
}
