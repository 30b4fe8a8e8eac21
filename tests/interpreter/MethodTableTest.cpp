// The array and string methods with their edge cases, each program with its
// pinned result or interpreter error code.

#include <gtest/gtest.h>

#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

struct MethodCase {
    const char* program;
    const char* result;  // "" when an error is expected
    int error = 0;
};

void runMethodTable(const std::vector<MethodCase>& cases) {
    for (const MethodCase& c : cases) {
        ProgramOutcome outcome = runProgram(c.program);
        EXPECT_EQ(outcome.error, c.error) << c.program;
        EXPECT_EQ(outcome.result, c.result) << c.program;
    }
}

// `a` bound to [1,2,3]; `h` to [1,<hole>,3]; `add` to a two-argument sum.
constexpr const char* kArrays = R"(
    (let "a") (assign "a" (array 1 2 3))
    (let "h") (assign "h" (array 1)) (set $h 2 3)
    (function "add" (array "x" "y") (return (add $x $y)))
    (let "calls") (assign "calls" 0)
    (function "counted" (array "x" "y") (assign "calls" (add $calls 1)) (return (add $x $y)))
)";

std::string withArrays(const char* body) { return std::string(kArrays) + body; }

TEST(MethodTable, ArraySearchesJoinsAndRanges) {
    std::vector<std::string> programs;
    std::vector<MethodCase> cases = {
        {R"((call $a "indexOf" (array 3 -1)))", "2"},
        {R"((call $a "indexOf" (array 1 3)))", "-1"},
        {R"((call $a "indexOf" (array 1 nan)))", "0"},
        {R"((call $a "indexOf" (array "1")))", "-1"},
        {R"((call $a "lastIndexOf" (array 1 nan)))", "0"},
        {R"((call $a "lastIndexOf" (array 3 -2)))", "-1"},
        {R"((call $a "lastIndexOf" (array 3 99)))", "2"},
        {R"((call $a "join" (array)))", R"("1,2,3")"},
        {R"((call $a "join" (array (undefined))))", R"("123")"},
        {R"((call $a "join" (array "-")))", R"("1-2-3")"},
        {R"((call $a "slice" (array 1)))", "[2,3]"},
        {R"((call $a "slice" (array -2)))", "[2,3]"},
        {R"((call $a "slice" (array 2 1)))", "[]"},
        {R"((call $a "slice" (array 0 (undefined))))", "[]"},
        {R"((call $a "splice" (array 1 1 "x")) $a)", R"([1,"x",3])"},
        {R"((call $a "splice" (array 1 1 "x")))", "[2]"},
        {R"((call $a "splice" (array -1)) $a)", "[1,2]"},
        {R"((call $a "splice" (array)))", "[]"},
        {R"((call $a "splice" (array)) $a)", "[1,2,3]"},
        {R"((call $a "concat" (array 4 (array 5 6))))", "[1,2,3,4,5,6]"},
        {R"((call $a "hasOwnProperty" (array "length")))", "true"},
        {R"((call $h "hasOwnProperty" (array 1)))", "false"},
        {R"((call $a "push" (array 4 5)))", "5"},
        {R"((call $a "unshift" (array 4 5)) $a)", "[4,5,1,2,3]"},
        {R"((call $a "pop" (array)))", "3"},
        {R"((call $a "shift" (array)) $a)", "[2,3]"},
        {R"((call (array) "pop" (array)))", "undefined"},
        {R"((call $a "reverse" (array)))", "[3,2,1]"},
        {R"((call $a "toString" (array)))", R"("1,2,3")"},
        {R"((call $a "pop" (array 1)))", "", 9},
        {R"((call $a "flat" (array)))", "", 17},
    };
    for (MethodCase& c : cases) {
        programs.push_back(withArrays(c.program));
        c.program = programs.back().c_str();
    }
    runMethodTable(cases);
}

TEST(MethodTable, ArrayWalksAndReductions) {
    std::vector<std::string> programs;
    std::vector<MethodCase> cases = {
        {R"((call (array) "reduce" (array $add)))", "", 8},
        {R"((call $h "reduce" (array $counted)) $calls)", "1"},
        {R"((call $a "reduce" (array $counted)))", "6"},
        {R"((call $a "reduce" (array $counted)) $calls)", "2"},
        {R"((call $a "reduce" (array $add 10)))", "16"},
        {R"((call (array "a" "b") "reduceRight" (array $add)))", R"("ba")"},
        {R"((call $a "reduce" (array 1)))", "", 10},
        {R"((call $a "reduce" (array)))", "", 9},
        {R"((call (array) "every" (array $add)))", "true"},
        {R"((call (array) "some" (array $add)))", "false"},
        {R"((call $h "every" (array (lambda "f" (array "x") (return (ne $x (undefined)))))))", "true"},
        {R"((call $h "some" (array (lambda "f" (array "x") (return (same $x (undefined)))))))", "false"},
        {R"((call $h "map" (array (lambda "f" (array "x") (return (mul $x 2))))))", "[2,<hole>,6]"},
        {R"((call $a "filter" (array (lambda "f" (array "x") (return (gt $x 1))))))", "[2,3]"},
        {R"((call $a "map" (array (lambda "f" (array "x" "i" "all") (return (add $i (get $all "length")))))))",
         "[3,4,5]"},
        // Elements appended by the function are not visited.
        {R"((call $a "forEach" (array (lambda "f" (array "x") (call $a "push" (array $x))))) $a)", "[1,2,3,1,2,3]"},
        {R"((call $a "forEach" (array $add 1)))", "", 9},
        {R"((call $a "map" (array 1)))", "", 10},
    };
    for (MethodCase& c : cases) {
        programs.push_back(withArrays(c.program));
        c.program = programs.back().c_str();
    }
    runMethodTable(cases);
}

TEST(MethodTable, SortingToleratesAnyComparator) {
    std::vector<std::string> programs;
    std::vector<MethodCase> cases = {
        {R"((call (array 3 1 2) "sort" (array)))", "[1,2,3]"},
        {R"((call (array 10 9 1) "sort" (array)))", "[1,10,9]"},
        {R"((call (array 1 3 2) "sort" (array (lambda "c" (array "x" "y") (return (sub $y $x))))))", "[3,2,1]"},
        {R"((call (array 1) "sort" (array 5)))", "[1]"},
        {R"((call (array 1 2) "sort" (array 5)))", "", 10},
        {R"((call (array (undefined) 2 1) "sort" (array)))", "[1,2,undefined]"},
        // Stable for a comparator that calls everything equal.
        {R"((call (array 3 1 2) "sort" (array (lambda "c" (array "x" "y") (return 0)))))", "[3,1,2]"},
        {R"((call (array 1 2 3) "sort" (array (lambda "c" (array "x" "y") (return "x")))))", "[1,2,3]"},
        {R"((call (array 1 2) "sort" (array (lambda "c" (array "x" "y") (return (object))))))", "[1,2]"},
    };
    for (MethodCase& c : cases) {
        programs.push_back(withArrays(c.program));
        c.program = programs.back().c_str();
    }
    runMethodTable(cases);
    // A comparator that answers at random on a long array still leaves a
    // permutation of the elements.
    ProgramOutcome outcome = runProgram(R"(
        (let "a") (assign "a" (array))
        (let "i") (assign "i" 0)
        (loop (lt $i 200) (assign "i" (add $i 1)) false (list (call $a "push" (array (mod (mul $i 7) 13)))))
        (let "seed") (assign "seed" 1)
        (call $a "sort" (array (lambda "c" (array "x" "y")
            (assign "seed" (mod (add (mul $seed 75) 74) 65537))
            (return (sub (mod $seed 3) 1)))))
        (call $a "reduce" (array (lambda "s" (array "s" "x") (return (add $s $x))) 0)))");
    EXPECT_EQ(outcome.error, 0);
    int sum = 0;
    for (int i = 0; i < 200; ++i) sum += (i * 7) % 13;
    EXPECT_EQ(outcome.result, std::to_string(sum));
}

TEST(MethodTable, StringMethods) {
    runMethodTable({
        {R"((call "abc" "charAt" (array 5)))", R"("")"},
        {R"((call "abc" "charAt" (array -1)))", R"("")"},
        {R"((call "abc" "charAt" (array)))", R"("a")"},
        {R"((call "é𝄞" "charAt" (array 2)))", R"("�")"},
        {R"((call "abc" "hasOwnProperty" (array 1)))", "true"},
        {R"((call "abc" "hasOwnProperty" (array "length")))", "true"},
        {R"((call "abc" "hasOwnProperty" (array 3)))", "false"},
        {R"((call "abc" "hasOwnProperty" (array 1.5)))", "false"},
        {R"((call "abcabc" "indexOf" (array "c" 3)))", "5"},
        {R"((call "abcabc" "lastIndexOf" (array "b")))", "4"},
        {R"((call "abcabc" "lastIndexOf" (array "b" 3)))", "1"},
        {R"((call "abcabc" "indexOf" (array "")))", "-1"},
        {R"((call "is undefined" "indexOf" (array)))", "3"},
        {R"((call "a-b-c" "replace" (array "-" "+")))", R"("a+b-c")"},
        {R"((call "abc" "replace" (array "x" "y")))", R"("abc")"},
        {R"((call "abc" "replace" (array "" "x")))", R"("xabc")"},
        {R"((call "abc" "replace" (array "b")))", R"("aundefinedc")"},
        {R"((call "abc" "replace" (array "b" "$&")))", R"("a$&c")"},
        {R"((call "abc" "replace" (array "c" (lambda "r" (array "p" "i" "s") (return (add $p $i))))))",
         R"("abc2")"},
        {R"((call "a,b,,c" "split" (array ",")))", R"(["a","b","","c"])"},
        {R"((call "a,b,,c" "split" (array "," 2)))", R"(["a","b"])"},
        {R"((call "a,b,,c" "split" (array "," 0)))", "[]"},
        {R"((call "a,b,,c" "split" (array "," -1)))", R"(["a","b","","c"])"},
        {R"((call "abc" "split" (array "")))", R"(["a","b","c"])"},
        {R"((call "" "split" (array ",")))", R"([""])"},
        {R"((call "a,b" "split" (array)))", R"(["a,b"])"},
        {R"((call "abc" "match" (array "x")))", "null"},
        {R"((call "abc" "match" (array "b.")))", R"(["bc"])"},
        {R"((call "abc" "match" (array)))", R"([""])"},
        {R"((call "é-abc" "search" (array "c")))", "4"},
        {R"((call "an undefined" "search" (array)))", "3"},
        {R"((call "abc" "search" (array "")))", "0"},
        // Patterns are compiled safely: a bad one is an error, a
        // catastrophic one for backtracking engines runs in linear time.
        {R"((call "abc" "search" (array "(")))", "", 10},
        {R"((call "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab" "search"
                (array "^(a+)+$")))",
         "-1"},
        {R"((call "abcdef" "slice" (array -2)))", R"("ef")"},
        {R"((call "abcdef" "slice" (array 3 1)))", R"("")"},
        {R"((call "abcdef" "substring" (array 4 1)))", R"("bcd")"},
        {R"((call "abcdef" "substring" (array -3 2)))", R"("ab")"},
        {R"((call " \t a b\n " "trim" (array)))", R"("a b")"},
        {R"((call "Straße" "toUpperCase" (array)))", R"("STRASSE")"},
        {R"((call "ÀB" "toLowerCase" (array)))", R"("àb")"},
        {R"((call "ab" "concat" (array 1 true)))", R"("ab1true")"},
        {R"((call "ab" "toString" (array)))", R"("ab")"},
        {R"((call "ab" "trim" (array 1)))", "", 9},
        {R"((call "ab" "padStart" (array)))", "", 17},
    });
}

}  // namespace
