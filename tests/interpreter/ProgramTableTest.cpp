// Every command key, operator, control-flow form and literal kind, each with
// its pinned result: programs in the assembler's text, results as
// describeValue prints them, errors as interpreter codes.

#include <gtest/gtest.h>

#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

struct Case {
    const char* program;
    const char* result;  // "" when an error is expected
    int error = 0;
};

void runTable(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        ProgramOutcome outcome = runProgram(c.program);
        EXPECT_EQ(outcome.error, c.error) << c.program;
        EXPECT_EQ(outcome.result, c.result) << c.program;
    }
}

TEST(ProgramTable, LiteralsAndConversions) {
    runTable({
        {R"("text")", R"("text")"},
        {"2.5", "2.5"},
        {"true", "true"},
        {"false", "false"},
        {"nan", "NaN"},
        {"(undefined 1 2)", "undefined"},
        {"(null)", "null"},
        // Number to text.
        {R"((add "" 1e21))", R"("1e+21")"},
        {R"((add "" 123.5))", R"("123.5")"},
        {R"((add "" (neg 0)))", R"("0")"},
        {R"((add "" 0.1))", R"("0.1")"},
        {R"((add "" 1.5e-7))", R"("1.5e-7")"},
        {R"((add "" 1e20))", R"("100000000000000000000")"},
        {R"((add "" -inf))", R"("-Infinity")"},
        // Text to number.
        {R"((mul " 42 " 1))", "42"},
        {R"((mul "" 1))", "0"},
        {R"((mul "4 2" 1))", "NaN"},
        {R"((mul "-Infinity" 1))", "-Infinity"},
        {R"((mul "0x10" 1))", "NaN"},
        {R"((mul "1e3" 1))", "1000"},
        {R"((mul "+.5" 1))", "0.5"},
        // Unicode's whitespace and line ends trim too, other invisible marks do not.
        {"(mul \"\u00a042\u2028\" 1)", "42"},
        {"(mul \"\u3000-7\u2029\\n\u0085\" 1)", "-7"},
        {"(mul \"\u200342\u00a0\\t\" 1)", "42"},
        {"(mul \"\u200b42\" 1)", "NaN"},
        {"(mul \"4\u00a02\" 1)", "NaN"},
        {"(mul \"\u00a0\u2028\" 1)", "0"},
        // Arrays as numbers and texts.
        {"(mul (array) 1)", "0"},
        {"(mul (array 5) 1)", "5"},
        {"(mul (array 1 2) 1)", "NaN"},
        {R"((let "a") (assign "a" (array 1)) (set $a 4 "x") (set $a 2 (null)) (set $a 3 (undefined)) (add "" $a))",
         R"("1,,,,x")"},
        {R"((add "" (object)))", R"("[object Object]")"},
        {R"((add "" (lambda "named" (array))))", R"("named")"},
        // Statements and control markers have no text, number or truth.
        {"(sub (list (add 1 2)) 1)", "", 5},
        {"(not (seq (list (break)) 1) )", "false"},
        {"(if (run (list (break))) 1 2)", "", 3},
        {"(neg (run (list (continue))))", "", 4},
    });
}

TEST(ProgramTable, Arithmetic) {
    runTable({
        {"(add 1 2)", "3"},
        {R"((add "a" 1))", R"("a1")"},
        {"(add (undefined) 1)", "NaN"},
        {R"((add "a" (undefined)))", R"("aundefined")"},
        {"(add (array 1 2) 3)", R"("1,23")"},
        {"(add true true)", "2"},
        {"(add (null) 1)", "1"},
        {"(add 1)", "", 9},
        {"(sub 5 7)", "-2"},
        {"(mul 3 4)", "12"},
        {"(div 1 0)", "Infinity"},
        {"(div -1 0)", "-Infinity"},
        {"(div 0 0)", "NaN"},
        {"(mod 7 -3)", "1"},
        {"(mod -7 3)", "-1"},
        {"(mod 5 0)", "NaN"},
        {"(mod inf 2)", "NaN"},
        {"(mod 5 inf)", "5"},
        {"(neg 3)", "-3"},
        {R"((neg "4"))", "-4"},
        {"(neg 1 2)", "", 9},
        {"(first 1 2)", "1"},
        {R"((first33 "a" "b"))", R"("a")"},
        {"(first 1)", "", 9},
        {"(id 7)", "7"},
        {"(id35 true)", "true"},
        {"(id 1 2)", "", 9},
    });
}

TEST(ProgramTable, LogicalOperatorsShortCircuit) {
    runTable({
        // The right operand of a decided "and"/"or" would fail if it ran.
        {R"((and 0 (assign "nowhere" 1)))", "0"},
        {R"((and 1 "b"))", R"("b")"},
        {R"((or "" "d"))", R"("d")"},
        {R"((or 1 (assign "nowhere" 1)))", "1"},
        {R"((not ""))", "true"},
        {"(not 2)", "false"},
        {R"((and 1 2 (assign "nowhere" 1)))", "", 9},
        {"(or 1)", "", 9},
        {"(not)", "", 9},
    });
}

TEST(ProgramTable, Comparisons) {
    runTable({
        {"(eq (null) (undefined))", "true"},
        {"(eq (null) 0)", "false"},
        {R"((eq "1" 1))", "true"},
        {R"((eq true "1"))", "true"},
        {"(eq nan nan)", "false"},
        {"(eq (array 1) (array 1))", "false"},
        {"(same (array 1) (array 1))", "false"},
        {R"((eq (object) "[object Object]"))", "true"},
        {R"((ne "a" "b"))", "true"},
        {"(same 1 true)", "false"},
        {"(same (undefined) (undefined))", "true"},
        {"(same (null) (null))", "true"},
        {"(same nan nan)", "false"},
        {R"((same "x" "x"))", "true"},
        {"(notsame 1 1)", "false"},
        {R"((lt "10" "9"))", "true"},
        {R"((lt "10" 9))", "false"},
        {"(lt (undefined) 1)", "false"},
        {"(ge (undefined) 1)", "false"},
        {"(le 2 2)", "true"},
        {"(gt 3 2)", "true"},
        {"(ge 2 3)", "false"},
        {"(lt nan 1)", "false"},
        {"(le 1 nan)", "false"},
        {"(lt (array 1) (array 2))", "true"},
        // The count is checked before anything is evaluated.
        {"(lt 1)", "", 9},
        {R"((eq 1 2 (assign "nowhere" 1)))", "", 9},
        // Evaluated commands evaluate first: the failing operand reports.
        {R"((add 1 2 (assign "nowhere" 1)))", "", 2},
    });
}

TEST(ProgramTable, Bitwise) {
    runTable({
        {"(shl 1 32)", "1"},
        {"(shl 1 31)", "-2147483648"},
        {"(ushr -1 0)", "4294967295"},
        {"(ushr -1 28)", "15"},
        {"(bor 3000000000 0)", "2147483647"},
        {"(shr 2147483648 0)", "2147483647"},
        {"(bor -3000000000 0)", "-2147483648"},
        {"(bor 4294967297 0)", "1"},
        {"(bor 4294967301 0)", "5"},
        {"(bor nan 0)", "0"},
        {"(bor inf 0)", "0"},
        {"(bor 5.9 0)", "5"},
        {"(bor -5.9 0)", "-5"},
        {"(bnot 5)", "-6"},
        {"(band 12 10)", "8"},
        {"(xor 12 10)", "6"},
        {"(shr -8 1)", "-4"},
        {"(shl 1 33)", "2"},
        {"(bnot 1 2)", "", 9},
        {"(band 1)", "", 9},
    });
}

TEST(ProgramTable, BlocksListsAndBranches) {
    runTable({
        {R"((block (let "q") (assign "q" 3) $q))", "3"},
        {R"((block (let "q") (assign "q" 3)) (typeof $q))", R"("undefined")"},
        {"(block)", "undefined"},
        {"(run (list 1 2 3))", "3"},
        {"(run9 (list (break) 2))", "<break>"},
        {"(run 5)", "", 10},
        {"(run)", "", 9},
        {"(typeof (list 1))", R"("object")"},
        {"(get (list 1 2) \"length\")", "2"},
        {"(seq 1 2 3)", "3"},
        {"(seq)", "", 9},
        {"(seq 1 (run (list (break))))", "", 10},
        {"(if true 1 2)", "1"},
        {"(if false 1 2)", "2"},
        {"(if false 1)", "undefined"},
        {R"((if (assign "nowhere" 1) 1))", "", 2},
        {"(if 1)", "undefined"},
        {"(if true (list 5 6))", "6"},
        {"(if true (list (break) 6))", "<break>"},
        {"(if)", "", 9},
        {"(if 1 2 3 4)", "", 9},
        // A conditional expression yields a chosen list without running it.
        {R"((typeof (cond true (list (assign "nowhere" 1)) 2)))", R"("object")"},
        {"(cond 0 1 2)", "2"},
        {"(cond 1 2)", "", 9},
        {"(break)", "<break>"},
        {"(break 1)", "", 9},
        {"(continue)", "<continue>"},
        {"(return)", "<return undefined>"},
        {"(return 4)", "<return 4>"},
        {"(return 1 2)", "", 9},
        // Unassigned keys and unbound names are quiet.
        {"(14)", "undefined"},
        {"(@99 1)", "undefined"},
        {"(@nothing)", "undefined"},
        {R"((function "14" (array) 5) (14))", "5"},
    });
}

TEST(ProgramTable, Functions) {
    runTable({
        {R"((function "f" (array "a" "b") (return (add $a $b))) (f 1 2))", "3"},
        {R"((function "f" (array "a" "b") (typeof $b)) (f 1))", R"("undefined")"},
        {R"((function "f" (array) 7) (f))", "7"},
        {R"((function "f" (array) (break)) (f))", "<break>"},
        {R"((function "f" (array "a") (return $a)) (f 1 (add 1 1) 3))", "1"},
        {R"((typeof (function "f" (array))))", R"("function")"},
        {R"((let "g") (assign "g" (lambda "h" (array "x") (return (mul $x 2)))) (g 4))", "8"},
        {R"((lambda "h" (array)) (typeof $h))", R"("undefined")"},
        {R"((lambda "h" 5))", "", 10},
        {R"((lambda "h"))", "", 9},
        {R"((lambda (add 1 2) (array)))", "", 5},
        // Closures keep their defining scope.
        {R"((function "counter" (array) (let "n") (assign "n" 0)
              (return (lambda "next" (array) (return (assign "n" (add $n 1))))))
            (let "c") (assign "c" (counter)) (c) (c) (c))",
         "3"},
        // A declaration assigns to an outer binding of the same name.
        {R"((let "f") (block (function "f" (array) 1)) (typeof $f))", R"("function")"},
        {R"((function "fact" (array "n") (if (le $n 1) (list (return 1)))
              (return (mul $n (fact (sub $n 1))))) (fact 10))",
         "3628800"},
    });
}

TEST(ProgramTable, MethodCalls) {
    runTable({
        {R"((call (object "f" (lambda "f" (array "x") (return (add $x 1)))) "f" (array 41)))", "42"},
        {R"((call (undefined) "x" (array)))", "", 7},
        {R"((call (null) "toString" (array)))", "", 7},
        {R"((call 5 "toString" (array)))", R"("5")"},
        {R"((call true "toString" (array)))", R"("true")"},
        {R"((call 5 "foo" (array)))", "", 17},
        {R"((call (object) "hasOwnProperty" (array "a")))", "false"},
        {R"((call (object "a" 1) "hasOwnProperty" (array "a")))", "true"},
        {R"((call (object "a" 1) "hasOwnProperty" (array "a" "b")))", "", 9},
        {R"((call 5 "hasOwnProperty" (array "a")))", "", 17},
        {R"((call (object "a" 1) "a" (array)))", "", 17},
        {R"((call (object) "toString" (array)))", R"("[object Object]")"},
        {R"((call (array 1 2) "toString" (array)))", R"("1,2")"},
        {R"((call (object) 2 (array)))", "", 10},
        {R"((call (object) "f" 2))", "", 10},
        {R"((call (object) "f"))", "", 9},
    });
}

TEST(ProgramTable, Switch) {
    const char* prelude = R"((let "r") (assign "r" ""))";
    auto withPrelude = [&](const std::string& body) { return std::string(prelude) + body; };
    std::vector<std::string> programs = {
        // Fall-through from the match through every later body and the default.
        withPrelude(R"((switch 2 (list 1 2 3) (list (assign "r" (add $r "a")) (assign "r" (add $r "b"))
                        (assign "r" (add $r "c")) (assign "r" (add $r "d")))) $r)"),
        // A break ends the switch; the default does not run.
        withPrelude(R"((switch 1 (list 1 2) (list (assign "r" "a") (run (list (assign "r" (add $r "b")) (break)))
                        (assign "r" (add $r "d")))) $r)"),
        // No match and no default.
        withPrelude(R"((switch 9 (list 1) (list (assign "r" "x"))) $r)"),
        // No match: the default alone.
        withPrelude(R"((switch 9 (list 1) (list (assign "r" "x") (assign "r" "d"))) $r)"),
        // Cases after the match are not evaluated.
        withPrelude(R"((switch 1 (list 1 (assign "nowhere" 1)) (list (assign "r" "a") (assign "r" (add $r "b")))) $r)"),
        // The switch's own result is undefined.
        "(switch 1 (list 1) (list 5))",
        R"((function "f" (array) (switch 1 (list 1) (list (return 9))) 3) (f))",
        // Strict equality: "1" does not match 1.
        withPrelude(R"((switch "1" (list 1) (list (assign "r" "x") (assign "r" "d"))) $r)"),
        // Fewer bodies than cases is refused before any case runs.
        R"((switch 1 (list (assign "nowhere" 1) 2) (list 5)))",
        "(switch 1 2 (list))",
        "(switch 1 (list))",
    };
    std::vector<std::pair<std::string, int>> expected = {
        {R"("bcd")", 0}, {R"("ab")", 0}, {R"("")", 0}, {R"("d")", 0}, {R"("ab")", 0}, {"undefined", 0},
        {"9", 0},        {R"("d")", 0},  {"", 9},      {"", 9},       {"", 9},
    };
    ASSERT_EQ(programs.size(), expected.size());
    for (size_t i = 0; i < programs.size(); ++i) {
        ProgramOutcome outcome = runProgram(programs[i]);
        EXPECT_EQ(outcome.result, expected[i].first) << programs[i];
        EXPECT_EQ(outcome.error, expected[i].second) << programs[i];
    }
}

TEST(ProgramTable, Loops) {
    runTable({
        // General loop: condition, step, run-first flag, body.
        {R"((let "i" "s") (assign "i" 0) (assign "s" 0)
            (loop (lt $i 5) (assign "i" (add $i 1)) false (list (assign "s" (add $s $i)))) $s)",
         "10"},
        {R"((let "s") (assign "s" 0) (loop false 0 true (list (assign "s" (add $s 1)))) $s)", "1"},
        {R"((let "i") (assign "i" 0) (loop true (assign "i" (add $i 1)) false (list (if (eq $i 3) (list (break))))) $i)",
         "3"},
        {R"((let "i" "s") (assign "i" 0) (assign "s" "")
            (loop (lt $i 4) 0 false (list (assign "i" (add $i 1)) (if (eq $i 2) (list (continue))) (assign "s" (add $s $i)))) $s)",
         R"("134")"},
        {R"((function "f" (array) (loop true 0 false (list (return 5)))) (f))", "5"},
        {"(loop false 0 false 5)", "", 10},
        {"(loop false 0 false)", "", 9},
        {"(loop (break) 0 false (list))", "", 3},
        // Counting loop: each iteration's closure keeps its own value.
        {R"((let "fs" "i" "f0" "f2") (assign "fs" (array)) (assign "i" 0)
            (for (array "i") (lt $i 3) (assign "i" (add $i 1)) (list (set $fs $i (lambda "" (array) (return $i)))))
            (assign "f0" (get $fs 0)) (assign "f2" (get $fs 2)) (add (f0) (mul 10 (f2))))",
         "20"},
        // The outer variable is copied in, not changed.
        {R"((let "i") (assign "i" 0) (for (array "i") (lt $i 3) (assign "i" (add $i 1)) (list)) $i)", "0"},
        {R"((let "s" "i") (assign "s" "") (assign "i" 0) (for (array "i") (lt $i 5) (assign "i" (add $i 1))
            (list (if (eq $i 3) (list (break))) (assign "s" (add $s $i)))) $s)",
         R"("012")"},
        {"(for 5 false 0 (list))", "", 10},
        {"(for (array) false 0 5)", "", 10},
        // for-in.
        {R"((let "k" "r") (assign "r" "") (forin "k" "abc" (list (assign "r" (add $r $k)))) $r)", R"("012")"},
        {R"((let "r") (assign "r" "") (forin "k" 5 (list (assign "r" "ran"))) $r)", R"("")"},
        {R"((let "a" "r") (assign "r" "") (assign "a" (array 1)) (set $a 2 3) (set $a "p" 1)
            (forinconst "k" $a (list (assign "r" (add $r $k)))) $r)",
         R"("p02")"},
        {R"((let "r") (assign "r" "") (forinlet "k" (object "x" 1 "y" 2) (list (assign "r" (add $r $k)))) $r)",
         R"("xy")"},
        // A constant binding ignores the assignment without an error.
        {R"((let "r") (assign "r" "") (forinconst "k" "ab" (list (assign "k" "z") (assign "r" (add $r $k)))) $r)",
         R"("01")"},
        {"(forin \"k\" \"ab\" 5)", "", 10},
        // for-of.
        {R"((let "a" "r") (assign "r" "") (assign "a" (array 1)) (set $a 2 3)
            (forof "k" $a (list (assign "r" (add $r (typeof $k))))) $r)",
         R"("numberundefinednumber")"},
        {R"((let "r") (assign "r" "") (forofconst "c" "xyz" (list (assign "r" (add $c $r)))) $r)", R"("zyx")"},
        {R"((let "r") (assign "r" 0) (foroflet "v" (array 1 2 3) (list (if (eq $v 2) (list (continue))) (assign "r" (add $r $v)))) $r)",
         "4"},
        {R"((forof "k" 5 (list)))", "", 16},
        {R"((function "f" (array) (forof "v" (array 1 2) (list (return $v)))) (f))", "1"},
        {R"((forof "k" (array 1)))", "", 9},
    });
}

TEST(ProgramTable, StringsAreCountedInUtf16Units) {
    runTable({
        {R"((get "abc" "length"))", "3"},
        {R"((get "abc" 1))", R"("b")"},
        {R"((get "abc" "1"))", R"("b")"},
        {R"((get "abc" 3))", "undefined"},
        {R"((get "abc" -1))", "undefined"},
        {R"((get "abc" 1.5))", "undefined"},
        {R"((get "aé😀" "length"))", "4"},
        {R"((get "aé😀" 1))", R"("é")"},
        {R"((let "n") (assign "n" 0) (forof "c" "a😀" (list (assign "n" (add $n 1)))) $n)", "3"},
    });
}

TEST(ProgramTable, VariablesAndProperties) {
    runTable({
        {R"((assign "u" 1))", "", 2},
        {R"((let "u") (assign "u" 1))", "1"},
        // An empty array's text form is the empty name, like any other.
        {R"((let "m") (assign "m" (object)) (set $m (array) 1) (get $m ""))", "1"},
        {R"((const "c" 1) (assign "c" 2))", "2"},
        {R"((const "c" 1) (assign "c" 2) $c)", "1"},
        {R"((const))", "undefined"},
        {"$nope", "undefined"},
        {R"((let "a" 5 "b"))", "", 10},
        {R"((let "a" 5 "b") $a)", "", 10},
        {R"((const "a"))", "", 9},
        {R"((const 5 1))", "", 10},
        {"(var 5)", "", 10},
        {R"((var "a" "b"))", "", 9},
        {R"((assign 5 1))", "", 10},
        {R"((get 5 "x"))", "undefined"},
        {R"((get (undefined) "x"))", "undefined"},
        {R"((get (null) "x"))", "undefined"},
        {R"((get (object "a" 1) "a"))", "1"},
        {R"((get (object "a" 1) "b"))", "undefined"},
        {R"((get17 (array 7 8) 1))", "8"},
        {R"((get (array 7 8) "1"))", "8"},
        {R"((get (array 7 8) 2))", "undefined"},
        {R"((get (array 7 8) "length"))", "2"},
        {R"((set "s" "x" 1))", "1"},
        {R"((set 5 "x" 1))", "1"},
        {R"((set (null) "x" 1))", "", 6},
        {R"((set (undefined) "x" 1))", "", 6},
        {R"((set (object) "a"))", "", 9},
        {R"((object "a" 1 "a" 2))", "{a:2}"},
        {R"((object 1 "x"))", R"({1:"x"})"},
        {R"((object "a"))", "", 9},
        {R"((object (list (add 1 2)) 2))", "", 5},
        {"(array)", "[]"},
        {R"((array 1 "a" (null)))", R"([1,"a",null])"},
        {"(typeof (null))", R"("object")"},
        {"(typeof (array))", R"("object")"},
        {"(typeof 1)", R"("number")"},
        {"(typeof true)", R"("boolean")"},
        {"(typeof \"s\")", R"("string")"},
        {"(typeof (undefined))", R"("undefined")"},
        {"(typeof)", "", 9},
        {R"((null (assign "nowhere" 1)))", "", 2},
        // Array members.
        {R"((let "a") (assign "a" (array)) (set $a 5 1) $a)", "[<hole>,<hole>,<hole>,<hole>,<hole>,1]"},
        {R"((let "a") (assign "a" (array 1 2)) (set $a "length" 2.5))", "", 11},
        {R"((let "a") (assign "a" (array 1 2)) (set $a "length" 0) $a)", "[]"},
        {R"((let "a") (assign "a" (array 1 2)) (set $a "length" 3) $a)", "[1,2,<hole>]"},
        {R"((let "a") (assign "a" (array 1)) (set $a "p" 2) (get $a "p"))", "2"},
        {R"((let "f") (function "f" (array)) (set $f "p" 2) (get $f "p"))", "2"},
    });
}

TEST(ProgramTable, Loader) {
    runTable({
        {"#9", "", 12},
        {"#0", "", 12},
        {"(add 1 #5)", "", 12},
        {"(#unnamed 1)", "", 14},
        {"#1", R"("")"},
        {"#2", "NaN"},
        {"#3", "false"},
    });
}

}  // namespace
