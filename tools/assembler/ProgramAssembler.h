#pragma once
// Writes event-editing programs in their wire form from a readable text, so
// that tests, seeds and benchmarks read as programs, not byte arrays.
//
//   ; a comment to the end of the line
//   (function "fib" (array "n")
//     (if (lt $n 2) (list (return $n)))
//     (return (add (fib (sub $n 1)) (fib (sub $n 2)))))
//   (fib 20)
//
// - (head argument...) is a statement. The head is a command key ("22"), a
//   command's name (the table in ProgramAssembler.cpp: add, if, return...),
//   or any other word, which names a function to call; @word names a function
//   even when the word is a command's name.
// - "text" is a string literal (escapes \" \\ \n \t); numbers, nan, inf and
//   -inf are number literals; true and false boolean literals.
// - $name reads a variable: (var "name").
// - #type:... writes an entity of a raw type for tests of the loader:
//   #9 is an entity of type 9, #4 a statement entity without a name.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"

class ProgramAssembler {
  public:
    // The top-level statements; nullopt with a message (line and reason).
    static std::optional<std::vector<MSRPBRuntimeEntity>> assembleStatements(std::string_view text,
                                                                             std::string* error = nullptr);
    // A Program message whose instructions are those statements.
    static std::optional<MSRPBProgram> assembleProgram(std::string_view text, std::string* error = nullptr);
    // The same program with one activity: the engine runs the function named
    // `rule` once at load, with an empty object, as event editing does.
    static std::optional<MSRPBProgram> assembleEditingProgram(std::string_view text, const std::string& rule,
                                                              std::string* error = nullptr);
    // Gives the top-level statement at `index` `copies` copies of its last
    // argument in its place: a program far wider than a text would be worth
    // assembling, for tests of its load and size bounds.
    static void repeatLastArgument(MSRPBProgram& program, size_t index, size_t copies);
    // The command key of a name ("add" -> "0"), or nullopt.
    static std::optional<std::string> keyOfName(std::string_view name);
};
