// The cost fuzzer's grammar against what the interpreter offers: every
// command key of the operation table, every array and string method, every
// method of the event a callback gets and every module member, read off the
// product, must be reached by the programs the grammar builds, so that a key
// or method added later without a place in the grammar fails here.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPCommandTable.h"
#include "analytics/interpreter/MSRPMethodNames.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "fuzz/ProgramCost.h"

namespace {

// The statement keys of a program, and the texts its calls and property
// reads name (the literal second argument of keys 2 and 16).
struct GrammarReach {
    std::set<std::string> keys;
    std::set<std::string> called;

    void walk(const MSRPBRuntimeEntity& entity) {
        constexpr uint32_t kType = 0, kChildren = 1, kName = 2, kText = 3;
        if (MSRPBGetInt32(entity, kType) != 4) return;
        const std::string key = MSRPBGetString(entity, kName).value_or("");
        keys.insert(key);
        const std::vector<MSRPBRuntimeEntity> children = MSRPBGetMessageArray<MSRPBRuntimeEntity>(entity, kChildren);
        const size_t named = key == "require" ? 0 : 1;
        if ((key == "2" || key == "16" || key == "require") && children.size() > named &&
            MSRPBGetInt32(children[named], kType) == 1)
            called.insert(MSRPBGetString(children[named], kText).value_or(""));
        for (const MSRPBRuntimeEntity& child : children) walk(child);
    }
};

// The methods of the event handed to callbacks and the members of every
// module the grammar requires, found by a program that walks them ("event
// getParams", "internal.logger silent.log"; "internal.x missing" for a
// module that does not load).
std::vector<std::string> nativeMembers() {
    std::string walk = "(let \"found\" \"k\" \"kk\" \"module\" \"member\") (assign \"found\" (array))\n"
                       "(forin \"k\" $e (list (call $found \"push\" (array (add \"event \" $k)))))\n";
    for (const char* module : fuzz::kModules) {
        const std::string name(module);
        walk += "(assign \"module\" (require \"" + name + "\"))\n(if (same (typeof $module) \"undefined\") (list (call $found \"push\" (array \"" +
                name + " missing\"))))\n(forin \"k\" $module (list (call $found \"push\" (array (add \"" + name +
                " \" $k))) (assign \"member\" (get $module $k)) (forin \"kk\" $member (list (call $found \"push\" "
                "(array (add (add (add \"" + name + " \" $k) \".\") $kk)))))))\n";
    }
    const std::string program = R"((function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "walk" (array "e") )" + walk + R"(
      (call $e "setParamValue" (array "found" (call $found "join" (array "|"))))
      (return 0))
    (object "type" "edit")))
)";
    MSRPInterpreterEventEditing editor;
    fuzz::registerHostModules(editor);
    MSRError error;
    std::optional<MSRPBProgram> assembled = ProgramAssembler::assembleEditingProgram(program, "rules");
    EXPECT_TRUE(assembled && editor.loadProgram(*assembled, &error)) << error.code();
    EXPECT_TRUE(editor.handleEvent(MSRPEvent("e", 1, {}), &error)) << error.code();
    const auto& parameters = editor.eventContext().outputEvent->parameters();
    auto found = parameters.find("found");
    if (found == parameters.end() || !found->second.string()) return {};
    std::vector<std::string> members;
    std::string all = *found->second.string();
    for (size_t start = 0, end; start <= all.size(); start = end + 1) {
        end = std::min(all.find('|', start), all.size());
        members.push_back(all.substr(start, end - start));
    }
    return members;
}

// The last part of a native member's name: "event getParams" is called as
// "getParams", "internal.logger silent.log" as "log".
std::string calledName(const std::string& member) { return member.substr(member.find_last_of(" .") + 1); }

// Everything the interpreter offers a program: command keys, and the names
// of methods, native members and modules.
GrammarReach offered() {
    GrammarReach all;
    for (const MSRPCommand& command : MSRPAllCommands()) all.keys.insert(std::to_string(command.key));
    for (std::string_view name : MSRPArrayMethodNames()) all.called.insert(std::string(name));
    for (std::string_view name : MSRPStringMethodNames()) all.called.insert(std::string(name));
    for (const std::string& member : nativeMembers()) all.called.insert(calledName(member));
    for (const char* module : fuzz::kModules) all.called.insert(module);
    return all;
}

// What programs built from random inputs (bytes of up to 40) reach: as many
// as it takes to reach all that is offered, at most 5,000 (the order in which
// a compiler evaluates a builder's choices gives each tree its own programs),
// not widened: what a program reaches is the same with its literals copied.
GrammarReach reachOfBuiltPrograms() {
    const GrammarReach all = offered();
    GrammarReach reach;
    std::mt19937 random(5);
    auto complete = [&] {
        return std::includes(reach.keys.begin(), reach.keys.end(), all.keys.begin(), all.keys.end()) &&
               std::includes(reach.called.begin(), reach.called.end(), all.called.begin(), all.called.end());
    };
    for (int n = 0; n < 5'000 && !complete(); ++n) {
        std::vector<uint8_t> bytes(random() % 40);
        for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
        if (!bytes.empty() && (bytes[0] == ';' || bytes[0] == '(')) bytes[0] = 0;
        std::string text;
        std::optional<MSRPBProgram> program = fuzz::costProgram(bytes.data(), bytes.size(), &text, 2, false);
        EXPECT_TRUE(program) << text;
        if (!program) continue;
        for (const MSRPBRuntimeEntity& statement : MSRPBGetMessageArray<MSRPBRuntimeEntity>(*program, 0))
            reach.walk(statement);
    }
    return reach;
}

const GrammarReach& reach() {
    static const GrammarReach reached = reachOfBuiltPrograms();
    return reached;
}

TEST(CostGrammar, BuiltProgramsReachEveryCommandKey) {
    for (const MSRPCommand& command : MSRPAllCommands())
        EXPECT_TRUE(reach().keys.count(std::to_string(command.key))) << "command key " << command.key;
}

TEST(CostGrammar, BuiltProgramsCallEveryMethodOnItsReceiver) {
    // The grammar calls string methods on texts and array methods on arrays
    // (its two lists), and each list holds every name of its table.
    const std::set<std::string> strings(std::begin(fuzz::kStringMethods), std::end(fuzz::kStringMethods));
    const std::set<std::string> arrays(std::begin(fuzz::kArrayMethods), std::end(fuzz::kArrayMethods));
    struct Table {
        const char* receiver;
        std::vector<std::string_view> names;
        const std::set<std::string>& grammar;
    };
    const Table tables[] = {{"string", MSRPStringMethodNames(), strings}, {"array", MSRPArrayMethodNames(), arrays}};
    for (const Table& table : tables) {
        EXPECT_FALSE(table.names.empty());
        for (std::string_view name : table.names) {
            EXPECT_TRUE(table.grammar.count(std::string(name))) << table.receiver << " method " << name;
            EXPECT_TRUE(reach().called.count(std::string(name))) << table.receiver << " method " << name;
        }
    }
}

TEST(CostGrammar, BuiltProgramsCallEveryNativeFunction) {
    const std::vector<std::string> members = nativeMembers();
    // The event's six methods and the modules' members at the least.
    EXPECT_GE(members.size(), 10u);
    for (const std::string& member : members) {
        SCOPED_TRACE(member);
        EXPECT_EQ(member.find(" missing"), std::string::npos);
        EXPECT_TRUE(reach().called.count(calledName(member)));
    }
    // Every module is required by name; those without members are called
    // where they are bound.
    for (const char* module : fuzz::kModules) EXPECT_TRUE(reach().called.count(module)) << module;
}

// The grammar's large shapes come up among a few hundred inputs: thousands
// of names and keys, working events of tens of thousands of parameters read
// back, and programs of hundreds of thousands of entities (widened after
// they are assembled).
TEST(CostGrammar, BuiltProgramsReachTheLargeShapes) {
    std::mt19937 random(9);
    bool keys = false, names = false, flood = false, wide = false;
    for (int n = 0; n < 2'000 && !(keys && names && flood && wide); ++n) {
        std::vector<uint8_t> bytes(random() % 40);
        for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
        if (!bytes.empty() && (bytes[0] == ';' || bytes[0] == '(')) bytes[0] = 0;
        const std::string text = fuzz::buildCostProgram(bytes.data(), bytes.size());
        keys = keys || text.find("\"k4095\" 4095") != std::string::npos;
        names = names || text.find("(lt $i 4096) (assign \"i\" (add $i 1)) false (list (call $names \"push\"") != std::string::npos;
        flood = flood || text.find("(lt $jp 40000)") != std::string::npos;
        if (!wide && text.rfind("; wide 600000", 0) == 0) {
            std::optional<MSRPBProgram> program = fuzz::costProgram(bytes.data(), bytes.size(), nullptr, 2);
            ASSERT_TRUE(program);
            const MSRPBRuntimeEntity first = MSRPBGetMessageArray<MSRPBRuntimeEntity>(*program, 0).front();
            wide = MSRPBGetMessageArray<MSRPBRuntimeEntity>(first, 1).size() > 600'000;
        }
    }
    EXPECT_TRUE(keys) << "an object literal of 4,096 keys";
    EXPECT_TRUE(names) << "4,096 names";
    EXPECT_TRUE(flood) << "40,000 event parameters";
    EXPECT_TRUE(wide) << "600,000 literals";
}

}  // namespace
