// Script files of `calvaro --script`: a script parses whole or not at all,
// and a refusal names its cause.

#include <cstdlib>

#include "app/ScriptPlayer.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<app::ScriptAction> actions;
    app::ScriptError error;
    if (!app::parseScript(std::string(fuzz::text(data, size)), actions, &error)) {
        if (error.describe().empty()) std::abort();
    }
    return 0;
}
