// program_assembler [input.txt] > program.bin
// Reads a program's text (standard input when no file is named) and writes the
// encoded Program message.

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tools/assembler/ProgramAssembler.h"

int main(int argc, char** argv) {
    std::stringstream text;
    if (argc > 1) {
        std::ifstream file(argv[1]);
        if (!file) {
            std::cerr << "cannot read " << argv[1] << "\n";
            return 1;
        }
        text << file.rdbuf();
    } else {
        text << std::cin.rdbuf();
    }
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleProgram(text.str(), &error);
    if (!program) {
        std::cerr << error << "\n";
        return 1;
    }
    std::optional<std::vector<uint8_t>> bytes = program->protoBuffer();
    if (!bytes) {
        std::cerr << "the program does not encode\n";
        return 1;
    }
    std::cout.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    return 0;
}
