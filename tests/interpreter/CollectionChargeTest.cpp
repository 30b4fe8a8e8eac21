// The collection after each event walks everything a program keeps, so it is
// paid from the event's budget like any work, and a program that keeps much
// and makes little is not walked after every event. Caught by what was
// counted: each collection that ran during an event (a root counts its
// marks) must appear in that event's instruction count at no less than an
// instruction for each kept value it walked; a program that makes nothing
// is not walked again; and the values left tracked must stay bounded, so
// the garbage is still reclaimed (by its memory too, where it is few values).

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

// The maps the program keeps from its load, each walked by every collection.
constexpr int64_t kKeptMaps = 50'000;

// Counts the collections: the collector marks every root once a collection.
struct CollectionCounter : MSRPGarbageCollectionRoot {
    mutable int64_t marks = 0;
    void mark(MSRPMarker&) const override { ++marks; }
};

struct CollectionRow {
    const char* name;
    // The edit callback's statements, run on every event.
    std::string body;
    int events;
    bool runsFail;
    // Collections that must have run over the events (the garbage is
    // reclaimed), and that may have (what is kept is not walked for nothing).
    int64_t leastCollections;
    int64_t mostCollections;
    // Each event's instructions: the default, or less where every run
    // spends it all (the walk and the cycles still fit in it).
    int64_t budget = MSRPExecution::kDefaultInstructionBudget;
};

TEST(CollectionCharge, EachCollectionIsPaidByTheEventItRunsIn) {
    const std::string keep = "(let \"kept\" \"i\") (assign \"kept\" (array)) (assign \"i\" 0) (loop (lt $i " +
                             std::to_string(kKeptMaps) +
                             ") (assign \"i\" (add $i 1)) false (list (set $kept $i (object \"k\" $i))))";
    // A thousand maps that each refer to themselves: garbage only a collection frees.
    const std::string cycles = R"((let "j" "m") (assign "j" 0)
        (loop (lt $j 1000) (assign "j" (add $j 1)) false (list (assign "m" (object)) (set $m "self" $m))))";
    // One map an event that refers to itself and holds a new text of 256
    // KiB: few values, much memory. Never collected, 300 of them pass the
    // memory ceiling.
    const std::string heavyCycle = R"((let "j" "s" "m") (assign "s" "x") (assign "j" 0)
        (loop (lt $j 18) (assign "j" (add $j 1)) false (list (assign "s" (add $s $s))))
        (assign "m" (object "t" $s)) (set $m "self" $m))";
    const CollectionRow rows[] = {
        {"keeps much and makes nothing", "(return 1)", 40, false, 0, 1},
        {"keeps much and makes cycles", cycles + " (return 1)", 120, false, 1, 120},
        {"keeps much and makes cycles that hold large texts", heavyCycle + " (return 1)", 300, false, 1, 300},
        // Its budget is spent before the collection after it: the collection
        // is paid by the next event, before its callbacks.
        {"spends its whole budget", cycles + " (loop true 0 false (list))", 60, true, 1, 120, 250'000},
    };
    for (const CollectionRow& row : rows) {
        SCOPED_TRACE(row.name);
        MSRPInterpreterEventEditing editing;
        editing.runtime().setTimeLimit(kCountGuard);
        CollectionCounter counter;
        editing.runtime().addGarbageCollectionRoot(&counter);
        // The load makes what it keeps under a budget that pays for it.
        editing.runtime().setInstructionBudget(int64_t{1} << 30);
        MSRError error;
        ASSERT_TRUE(editing.loadProgram(callbackProgram(keep, row.body), &error)) << error.code();
        editing.runtime().setInstructionBudget(row.budget);
        const size_t keptTracked = editing.runtime().objectManager().trackedObjectCount();
        ASSERT_GE(keptTracked, static_cast<size_t>(kKeptMaps));

        int64_t collections = 0;
        size_t mostTracked = 0;
        for (int event = 0; event < row.events; ++event) {
            const int64_t before = counter.marks;
            MSRError failure;
            editing.handleEvent(MSRPEvent("e", 1, {{"p", int64_t{1}}}), &failure);
            EXPECT_EQ(failure.code() != 0, row.runsFail) << "event " << event << ": " << failure.code();
            const int64_t ran = counter.marks - before;
            collections += ran;
            EXPECT_GE(editing.runtime().getInstructionCount(), ran * kKeptMaps)
                << "event " << event << " ran " << ran << " collection(s) over " << kKeptMaps
                << " kept maps without paying for them";
            mostTracked = std::max(mostTracked, editing.runtime().objectManager().trackedObjectCount());
        }
        EXPECT_GE(collections, row.leastCollections) << "the garbage was never collected";
        EXPECT_LE(collections, row.mostCollections) << "what the program keeps was walked after every event";
        // The pace: a collection once the new values reach those that
        // survived the last one, so at most about twice what is kept.
        EXPECT_LE(mostTracked, 2 * keptTracked + 2'000) << "garbage piled up past the collector's pace";
        editing.runtime().removeGarbageCollectionRoot(&counter);
    }
}

}  // namespace
