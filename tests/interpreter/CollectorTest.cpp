// The collector frees what no root reaches and nothing that one does: values
// bound in the runtime's scopes, in closures' scopes up the whole chain, in
// members and elements, survive any number of collections; unreachable
// cycles are emptied and then freed. Run under ASan, a value freed while
// still reachable, or a cycle leaked, fails the test.

#include <gtest/gtest.h>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

TEST(Collector, KeepsEverythingReachableAcrossCollections) {
    MSRPRuntime runtime;
    ProgramOutcome setUp = runProgram(R"(
        (let "list" "table" "counter" "inner")
        (assign "list" (array (object "k" (array 1 2)) (array 3)))
        (assign "table" (object "list" $list "f" (lambda "f" (array) (return 5))))
        (set $table "self" $table)
        (function "makeCounter" (array)
          (let "state") (assign "state" (object "n" 0))
          ; the closure's defining scope is the block; "state" lives one scope up
          (block (return (lambda "next" (array) (set $state "n" (add (get $state "n") 1)) (return (get $state "n"))))))
        (assign "counter" (makeCounter))
        (function "outer" (array) (let "kept") (assign "kept" (array 40 2))
          (return (lambda "sum" (array) (return (add (get $kept 0) (get $kept 1))))))
        (assign "inner" (outer))
        1)",
                                      &runtime);
    ASSERT_EQ(setUp.error, 0);
    for (int round = 0; round < 3; ++round) {
        runtime.collectGarbage();
        runtime.resetInstructionCount();
        EXPECT_EQ(runProgram("(counter)", &runtime).result, std::to_string(round + 1));
        EXPECT_EQ(runProgram("(inner)", &runtime).result, "42");
        EXPECT_EQ(runProgram(R"((add "" (get (get (get $table "list") 0) "k")))", &runtime).result, R"("1,2")");
        EXPECT_EQ(runProgram(R"((call (get $table "self") "f" (array)))", &runtime).result, "5");
        EXPECT_EQ(runProgram("(get (get $list 1) 0)", &runtime).result, "3");
    }
}

TEST(Collector, EmptiesAndFreesUnreachableCycles) {
    MSRPRuntime runtime;
    int error = 0;
    // Two maps that refer to each other, a closure that refers to itself
    // through its scope, and an array inside itself; then every binding goes.
    MSRPValue pair = evaluateProgram(R"(
        (let "a" "b" "f" "c")
        (assign "a" (object)) (assign "b" (object "a" $a)) (set $a "b" $b)
        (function "f" (array) (return $f))
        (assign "c" (array 1)) (set $c 1 $c)
        $a)",
                                     runtime, &error);
    ASSERT_EQ(error, 0);
    const size_t tracked = runtime.objectManager().trackedObjectCount();
    runtime.collectGarbage();
    EXPECT_EQ(runtime.objectManager().trackedObjectCount(), tracked) << "all still bound";

    runProgram(R"((assign "a" 0) (assign "b" 0) (assign "f" 0) (assign "c" 0))", &runtime);
    const int64_t memoryBefore = MSRPMemory::used();
    runtime.collectGarbage();
    // The map the test still holds was reached by nothing: it is emptied,
    // and the rest of the cycle is freed.
    EXPECT_EQ(pair.map()->propertyMap().count(), 0u);
    EXPECT_EQ(runtime.objectManager().trackedObjectCount(), 1u);
    EXPECT_LT(MSRPMemory::used(), memoryBefore);
}

TEST(Collector, ExtraRootsKeepTheirValues) {
    struct Holder : MSRPGarbageCollectionRoot {
        MSRPValue value;
        void mark(MSRPMarker& marker) const override { marker.markValue(value); }
    } holder;
    MSRPRuntime runtime;
    runtime.addGarbageCollectionRoot(&holder);
    int error = 0;
    holder.value = evaluateProgram(R"((let "x") (assign "x" (object "v" (array 1 2))) (set $x "me" $x) $x)", runtime, &error);
    runProgram(R"((assign "x" 0))", &runtime);
    runtime.collectGarbage();
    EXPECT_EQ(describeValue(holder.value.map()->valueForProperty("v")), "[1,2]");
    runtime.removeGarbageCollectionRoot(&holder);
    runtime.collectGarbage();
    EXPECT_EQ(holder.value.map()->propertyMap().count(), 0u);
}

TEST(Collector, ScopeRulesAndImmutableBindings) {
    // Assignment from a grandchild reaches the root's binding; a declaration
    // shadows it; an immutable ancestor binding ignores the assignment and
    // the child gets none of its own.
    auto root = MSRPRef<MSRPScope>::make();
    root->addValue(MSRPValue::number(1), "x");
    root->addImmutableValue(MSRPValue::number(7), "k");
    MSRPRef<MSRPScope> child = root->createChildScope();
    MSRPRef<MSRPScope> grandchild = child->createChildScope();
    grandchild->setValue(MSRPValue::number(2), "x");
    EXPECT_EQ(root->valueForName("x").numberValue(), 2);
    grandchild->addValue(MSRPValue::number(3), "x");
    EXPECT_EQ(grandchild->valueForName("x").numberValue(), 3);
    EXPECT_EQ(root->valueForName("x").numberValue(), 2);
    child->setValue(MSRPValue::number(8), "k");
    EXPECT_EQ(root->valueForName("k").numberValue(), 7);
    EXPECT_FALSE(child->contents().hasName("k"));
    // A frozen scope takes no bindings.
    child->makeImmutable();
    child->addValue(MSRPValue::number(1), "y");
    EXPECT_FALSE(child->hasName("y"));
}

TEST(Collector, EqualityOfValues) {
    MSRPRuntime runtime;
    auto value = [&](const char* program) { return evaluateProgram(program, runtime); };
    EXPECT_TRUE(value("nan").isEqualToRuntimeValue(value("nan")));
    EXPECT_TRUE(value(R"((object "a" 1 "b" (array 1)))").isEqualToRuntimeValue(value(R"((object "b" (array 1) "a" 1))")));
    EXPECT_FALSE(value(R"((object "a" 1))").isEqualToRuntimeValue(value(R"((object "a" 1 "b" 2))")));
    EXPECT_FALSE(value("(array 1)").isEqualToRuntimeValue(value("(array 1 2)")));
    EXPECT_TRUE(value(R"((lambda "f" (array)))").isEqualToRuntimeValue(value(R"((lambda "f" (array 1)))")));
    EXPECT_FALSE(value(R"((lambda "" (array)))").isEqualToRuntimeValue(value(R"((lambda "" (array)))")));
    EXPECT_TRUE(value("(list (add 1 2))").isEqualToRuntimeValue(value("(list (add 1 2))")));
    EXPECT_FALSE(value("(list (add 1 2))").isEqualToRuntimeValue(value("(list (add 1 3))")));
    EXPECT_TRUE(value("(return 1)").isEqualToRuntimeValue(value("(return 1)")));
    EXPECT_FALSE(value("1").isEqualToRuntimeValue(value("true")));
}

}  // namespace
