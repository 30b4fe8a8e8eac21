// The six fields of the Calculate screen as the calculator parses and solves
// them. The input is the form (first byte) and the fields a, b, c, d, x, z
// separated by newlines, each cut to the 12 characters the costliest-input
// benchmark measures (longer fields are slow, not wrong).

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int64_t mode = data[0] & 1;
    std::vector<std::string> fields = fuzz::split(fuzz::text(data + 1, size - 1), '\n', 6);
    std::vector<std::optional<std::string>> texts;
    for (std::string& field : fields) {
        if (field == "-") {
            texts.emplace_back(std::nullopt);  // a field left empty
        } else {
            texts.emplace_back(field.substr(0, 12));
        }
    }
    KalStringOutput output;
    KalMathOperation operation(output);
    KalPowerAndLogarithmicFunction calculator(operation, output);
    (void)calculator.calculate(texts[0], "aTextField", texts[1], "bTextField", texts[2], "cTextField", texts[3],
                               "dTextField", texts[4], "xTextField", texts[5], "zTextField", mode);
    return 0;
}
