// Statements remember where they last found a name and run operators on
// numbers in place; neither may change what a program sees. Each program
// below runs one statement against different scope chains (other calls,
// closures, recursion, names declared after a first read) or counts its
// instructions against a budget.

#include <gtest/gtest.h>

#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

struct NameResolutionCase {
    const char* what;
    const char* program;
    const char* result;  // "" when an error is expected
    int error = 0;
};

TEST(NameResolution, RememberedPlacesFollowTheScopeChain) {
    const NameResolutionCase cases[] = {
        {"closures keep the frames they were made in",
         R"((function "counter" (array "start") (let "n") (assign "n" $start)
              (return (lambda "next" (array) (return (assign "n" (add $n 1))))))
            (let "a" "b") (assign "a" (counter 10)) (assign "b" (counter 100))
            (a) (b) (a) (add (a) (mul 1000 (b))))",
         "102013"},
        {"one read meets a local and the global in turn down a recursion",
         R"((let "x") (assign "x" "g")
            (function "f" (array "n")
              (if (eq (mod $n 2) 1) (list (let "x") (assign "x" $n)))
              (return (add $x (cond (gt $n 0) (f (sub $n 1)) ""))))
            (f 4))",
         R"("g3g1g")"},
        {"one assignment reaches a local or the global down a recursion",
         R"((let "x") (assign "x" 0)
            (function "f" (array "n")
              (if (eq (mod $n 2) 1) (list (let "x") (assign "x" 0)))
              (assign "x" (add $x $n))
              (if (gt $n 0) (list (f (sub $n 1)))))
            (f 5) $x)",
         "6"},
        {"a name declared after a first read shadows the outer one",
         R"((let "x" "r") (assign "x" 1) (assign "r" 0)
            (block (let "i") (assign "i" 0)
              (loop (lt $i 2) (assign "i" (add $i 1)) false
                (list (assign "r" (add $r $x)) (let "x") (assign "x" 10)))
              $r))",
         "11"},
        {"a function name declared after a first call shadows the outer one",
         R"((function "g" (array) (return 1))
            (let "r") (assign "r" 0)
            (block (let "i") (assign "i" 0)
              (loop (lt $i 2) (assign "i" (add $i 1)) false
                (list (assign "r" (add (mul $r 10) (g))) (let "g") (assign "g" (lambda "g2" (array) (return 2)))))
              $r))",
         "12"},
        {"a function's names are found from where it was defined",
         R"((function "g" (array) (return 1))
            (function "h" (array) (return (g)))
            (let "a") (assign "a" (h))
            (block (function "k" (array) (return 2)) (let "g") (assign "g" $k) (add (mul $a 10) (h))))",
         "11"},
        {"a name that stops being a function makes its call undefined",
         R"((function "g" (array) (return 1))
            (let "r" "i") (assign "r" "") (assign "i" 0)
            (loop (lt $i 2) (assign "i" (add $i 1)) false
              (list (assign "r" (add $r (typeof (g)))) (assign "g" 5)))
            $r)",
         R"("numberundefined")"},
        {"constants keep their value through repeated assignments",
         R"((const "c" 1) (let "i") (assign "i" 0)
            (loop (lt $i 3) (assign "i" (add $i 1)) false (list (assign "c" $i))) $c)",
         "1"},
        {"an assignment to an undeclared name fails after others succeeded",
         R"((let "i") (assign "i" 0)
            (loop (lt $i 3) (assign "i" (add $i 1)) false (list (if (eq $i 2) (list (assign "zz" 1))))))",
         "", 2},
        {"a repeated parameter name binds the later argument",
         R"((function "f" (array "a" "a") (return $a)) (add (f 1 2) (typeof (f 1))))", R"("2undefined")"},
        {"parameters of a recursion stay apart",
         R"((function "f" (array "n" "acc") (if (le $n 0) (list (return $acc)))
              (return (f (sub $n 1) (add $acc $n))))
            (f 100 0))",
         "5050"},
    };
    for (const NameResolutionCase& c : cases) {
        ProgramOutcome outcome = runProgram(c.program);
        EXPECT_EQ(outcome.error, c.error) << c.what;
        EXPECT_EQ(outcome.result, c.result) << c.what;
    }
}

TEST(NameResolution, InPlaceFormsAnswerAsTheirHandlers) {
    const NameResolutionCase cases[] = {
        {"text joins", R"((add "a" 1))", R"("a1")"},
        {"text to number", R"((sub "5" 2))", "3"},
        {"texts compare as texts", R"((add (lt "10" "9") (gt "b" "a")))", "2"},
        {"NaN orders nothing", "(add (add (lt nan 1) (ge 1 nan)) (add (le nan nan) (gt nan 0)))", "0"},
        {"equal ends", "(add (le 1 1) (ge 2 2))", "2"},
        {"division by zero", "(div 1 0)", "Infinity"},
        {"booleans as numbers", "(mul true 3)", "3"},
        {"undefined as a number", "(add (undefined) 1)", "NaN"},
        {"a statement inside an array has no number", "(sub (list (add 1 2)) 1)", "", 5},
        {"arrays grow one element at a time and by gaps",
         R"((let "a") (assign "a" (array)) (set $a 0 "x") (set $a 1 "y") (set $a 3 "z")
            (add (add "" $a) (get $a "length")))",
         R"("x,y,,z4")"},
        {"a closing return gives a returned marker as it is",
         R"((function "f" (array) (return (return 5))) (f))", "<return 5>"},
        {"a closing return gives a break as it is", R"((function "f" (array) (return (break))) (f))", "<break>"},
        {"an earlier return ends the body before its closing one",
         R"((function "f" (array) (if true (list (return 1))) (return 2)) (f))", "1"},
        {"a body of only a closing return", R"((function "f" (array "x") (return)) (typeof (f 1)))",
         R"("undefined")"},
    };
    for (const NameResolutionCase& c : cases) {
        ProgramOutcome outcome = runProgram(c.program);
        EXPECT_EQ(outcome.error, c.error) << c.what;
        EXPECT_EQ(outcome.result, c.result) << c.what;
    }
}

// The counts are the evaluator's before statements ran in place, and one
// instruction for each entity the program is built from (27 and 64): a
// budget one short of them stops each program with error 18.
TEST(NameResolution, InPlaceStatementsCountAsEvaluatedOnes) {
    struct Counted {
        const char* program;
        int64_t instructions;
    };
    const Counted programs[] = {
        {R"((function "fib" (array "n") (if (lt $n 2) (list (return $n)))
              (return (add (fib (sub $n 1)) (fib (sub $n 2)))))
            (fib 10))",
         2329},
        {R"((let "a" "i" "s") (assign "a" (array)) (assign "i" 0) (assign "s" 0)
            (loop (lt $i 50) (assign "i" (add $i 1)) false (list (set $a $i $i)))
            (assign "i" 0)
            (loop (lt $i (get $a "length")) (assign "i" (add $i 1)) false (list (assign "s" (add $s (get $a $i)))))
            $s)",
         2099},
    };
    for (const Counted& counted : programs) {
        MSRPRuntime runtime;
        int error = 0;
        evaluateProgram(counted.program, runtime, &error);
        EXPECT_EQ(error, 0) << counted.program;
        EXPECT_EQ(runtime.getInstructionCount(), counted.instructions) << counted.program;

        MSRPRuntime shortRuntime;
        shortRuntime.setInstructionBudget(counted.instructions - 1);
        error = 0;
        evaluateProgram(counted.program, shortRuntime, &error);
        EXPECT_EQ(error, MSRPErrorCode::kInstructionBudget) << counted.program;
    }
}

}  // namespace
