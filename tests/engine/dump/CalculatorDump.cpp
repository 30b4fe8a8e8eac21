// calculator_dump: reads a JSON array of exercises ({"mode": 0, "a": "2", ...})
// from the file named on the command line (or standard input) and writes, for
// each, everything the calculator produced as one JSON array on standard output.

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tests/engine/dump/CalculatorJson.h"

int main(int argc, char** argv) {
    // English titles, unless "--language CODE" comes first.
    const char* language = "en";
    if (argc > 2 && std::string(argv[1]) == "--language") {
        language = argv[2];
        argc -= 2;
        argv += 2;
    }
    setenv("CALVARO_LANGUAGE", language, 1);
    nlohmann::json cases;
    try {
        if (argc > 1) {
            std::ifstream file(argv[1]);
            cases = nlohmann::json::parse(file);
        } else {
            cases = nlohmann::json::parse(std::cin);
        }
    } catch (const std::exception& error) {
        std::cerr << "calculator_dump: " << error.what() << "\n";
        return 2;
    }
    nlohmann::json results = nlohmann::json::array();
    for (const auto& exercise : cases) results.push_back(runCalculatorCase(calculatorCaseFromJson(exercise)));
    std::cout << results.dump(1) << "\n";
    return 0;
}
